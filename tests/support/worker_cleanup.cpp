#include "support/worker_cleanup.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cwctype>
#include <string>

#include "autoupdate/download_cache.h"
#include "autoupdate/worker_process.h"

namespace Testing {
namespace {

std::wstring Lower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towlower(c); });
    return text;
}

}  // namespace

std::vector<DWORD> WorkerProcessIds() {
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return ids;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, kWorkerFileName) == 0) ids.push_back(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return ids;
}

void TerminateWorkers() {
    for (const DWORD id : WorkerProcessIds()) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
        if (!process) continue;
        TerminateProcess(process, 0);
        WaitForSingleObject(process, 10000);
        CloseHandle(process);
    }
}

namespace {

// The copy is marked for deletion at restart; take that mark away again.
void ForgetDeletionAtRestart() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    DWORD type = 0;
    DWORD bytes = 0;
    const wchar_t* value = L"PendingFileRenameOperations";
    if (RegQueryValueExW(key, value, nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS && type == REG_MULTI_SZ) {
        std::vector<wchar_t> data(bytes / sizeof(wchar_t) + 2, L'\0');
        RegQueryValueExW(key, value, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &bytes);
        std::vector<std::wstring> entries;
        for (const wchar_t* p = data.data(); *p; p += wcslen(p) + 1) entries.emplace_back(p);
        std::wstring kept;
        for (size_t i = 0; i < entries.size(); i += 2) {
            if (Lower(entries[i]).find(Lower(kWorkerFileName)) != std::wstring::npos) continue;
            kept += entries[i] + L'\0' + (i + 1 < entries.size() ? entries[i + 1] : L"") + L'\0';
        }
        if (kept.empty()) {
            RegDeleteValueW(key, value);
        } else {
            kept += L'\0';
            RegSetValueExW(key, value, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(kept.data()),
                           static_cast<DWORD>(kept.size() * sizeof(wchar_t)));
        }
    }
    RegCloseKey(key);
}

}  // namespace

WorkerCleanup::WorkerCleanup() { TerminateWorkers(); }

WorkerCleanup::~WorkerCleanup() {
        TerminateWorkers();
        DownloadCache cache;
        DeleteFileW((cache.Folder() + kWorkerFileName).c_str());
        ForgetDeletionAtRestart();
        SetEnvironmentVariableW(L"KX_WORKER_POLL_MS", nullptr);
}

bool WaitForWorker(DWORD limitMs) {
    for (DWORD waited = 0; waited < limitMs; waited += 20) {
        if (!WorkerProcessIds().empty()) return true;
        Sleep(20);
    }
    return false;
}


}  // namespace Testing
