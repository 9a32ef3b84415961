#include "support/worker_cleanup.h"

#include <tlhelp32.h>
#include <shlwapi.h>

#include <string>

#include "autoupdate/download_cache.h"
#include "autoupdate/worker_process.h"
#include "base/unique_any.h"
#include "support/wait_until.h"

namespace Testing {
namespace {

// The worker copy, and a setup program that removed itself and its folders,
// are marked for deletion at restart; take those marks away again.
void ForgetDeletionAtRestart() {
    Base::UniqueRegKey key;
    const wchar_t* value = L"PendingFileRenameOperations";
    DWORD type = 0, bytes = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_QUERY_VALUE | KEY_SET_VALUE, key.Put()) != ERROR_SUCCESS ||
        RegQueryValueExW(key.Get(), value, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS || type != REG_MULTI_SZ) {
        return;
    }
    std::wstring data(bytes / sizeof(wchar_t) + 2, L'\0');
    RegQueryValueExW(key.Get(), value, nullptr, nullptr, reinterpret_cast<BYTE*>(&data[0]), &bytes);
    // Pairs of source and target; a deletion's target is empty.
    std::wstring kept;
    for (const wchar_t* p = data.c_str(); *p;) {
        const wchar_t* target = p + wcslen(p) + 1;
        if (!StrStrIW(p, L"\\Veltrastone")) kept.append(p).append(1, L'\0').append(target).append(1, L'\0');
        p = *target ? target + wcslen(target) + 1 : target + 1;
    }
    if (kept.empty()) {
        RegDeleteValueW(key.Get(), value);
    } else {
        RegSetValueExW(key.Get(), value, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(kept.c_str()),
                       static_cast<DWORD>((kept.size() + 1) * sizeof(wchar_t)));
    }
}

void TerminateWorkers() {
    for (const DWORD id : WorkerProcessIds()) {
        const Base::UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
        if (process && TerminateProcess(process.Get(), 0)) WaitForSingleObject(process.Get(), 10000);
    }
}

}  // namespace

std::vector<DWORD> WorkerProcessIds() {
    std::vector<DWORD> ids;
    const Base::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = snapshot && Process32FirstW(snapshot.Get(), &entry); more;
         more = Process32NextW(snapshot.Get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, kWorkerFileName) == 0) ids.push_back(entry.th32ProcessID);
    }
    return ids;
}

bool WaitForWorker(DWORD limitMs) {
    return WaitUntil([] { return !WorkerProcessIds().empty(); }, limitMs);
}

WorkerCleanup::WorkerCleanup() { TerminateWorkers(); }

WorkerCleanup::~WorkerCleanup() {
    TerminateWorkers();
    DeleteFileW((DownloadCache().Folder() + kWorkerFileName).c_str());
    ForgetDeletionAtRestart();
    SetEnvironmentVariableW(L"KX_WORKER_POLL_MS", nullptr);
}

}  // namespace Testing
