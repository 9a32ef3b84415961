#include "autoupdate/worker_process.h"

#include <windows.h>
#include <tlhelp32.h>

#include <mutex>
#include <vector>

#include "base/log.h"
#include "base/unique_any.h"

namespace {

// Two launches arriving together must not both find no worker and start one.
std::mutex& respawnLock = *new std::mutex;

// The full path of the program a process runs; empty when it cannot be read
// (a process of another account, or one that has ended).
std::wstring ImagePathOf(DWORD processId) {
    const Base::UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    wchar_t path[MAX_PATH];
    DWORD length = MAX_PATH;
    if (!process || !QueryFullProcessImageNameW(process.Get(), 0, path, &length)) return L"";
    return std::wstring(path, length);
}

}  // namespace

bool WorkerProcessExists(const std::wstring& workerPath) {
    LogEnter(nullptr);
    const Base::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        LogError(L"Failed to get process snapshot error [%lu]", GetLastError());
        return false;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    if (!Process32FirstW(snapshot.Get(), &entry)) {
        LogError(L"Failed to get process information from snapshot error [%lu]", GetLastError());
        return false;
    }
    bool exists = false;
    LogVerbose(L"Searching for process...");
    do {
        // The name first: opening every process would be slow.
        if (_wcsicmp(entry.szExeFile, kWorkerFileName) != 0) continue;
        const std::wstring image = ImagePathOf(entry.th32ProcessID);
        LogVerbose(L"Comparing [%s] pid [%lu] with [%s]", image.c_str(), entry.th32ProcessID, workerPath.c_str());
        if (_wcsicmp(image.c_str(), workerPath.c_str()) == 0) {
            LogVerbose(L"Found process [%s] pid [%lu]", image.c_str(), entry.th32ProcessID);
            exists = true;
            break;
        }
    } while (Process32NextW(snapshot.Get(), &entry));
    LogVerbose(L"Returning exists [%u]", exists ? 1u : 0u);
    LogExit(nullptr);
    return exists;
}

bool CopyToWorker(const DownloadCache& cache, std::wstring& workerPath) {
    LogEnter(nullptr);
    bool ok = false;
    wchar_t ownPath[MAX_PATH] = {};
    // A successful call leaves the last error alone; a stale 122 must not
    // read as a truncated path.
    SetLastError(ERROR_SUCCESS);
    const DWORD length = GetModuleFileNameW(nullptr, ownPath, MAX_PATH);
    const DWORD error = GetLastError();
    if (length == 0 || error == ERROR_INSUFFICIENT_BUFFER) {
        LogError(L"Unable to get path to service executable error [%lu]", error);
        LogExit(nullptr);
        return false;
    }
    workerPath = cache.Folder() + kWorkerFileName;
    // Copied through a reparse point, or into the current folder, the worker
    // would run from elsewhere; Refusal has said why.
    if (cache.Refusal() != nullptr) {
        LogExit(nullptr);
        return false;
    }
    if (CopyFileExW(ownPath, workerPath.c_str(), nullptr, nullptr, nullptr, 0)) {
        ok = true;
        LogVerbose(L"Copied [%s] to [%s]", ownPath, workerPath.c_str());
        if (MoveFileExW(workerPath.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
            LogInfo(L"Scheduled [%s] for deletion on reboot", workerPath.c_str());
        } else {
            LogError(L"Failed to schedule delete on reboot for file [%s] error [%lu]", workerPath.c_str(),
                     GetLastError());
        }
    } else {
        LogError(L"Failed to move file [%s] error [%lu]", workerPath.c_str(), GetLastError());
    }
    LogExit(nullptr);
    return ok;
}

void RespawnWorker() {
    LogEnter(nullptr);
    const std::lock_guard<std::mutex> lock(respawnLock);
    const DownloadCache cache;
    if (WorkerProcessExists(cache.Folder() + kWorkerFileName)) {
        LogVerbose(L"Reusing existing worker process");
        LogExit(nullptr);
        return;
    }
    std::wstring workerPath;
    const bool ok = CopyToWorker(cache, workerPath);
    LogVerbose(L"Attempting to respawn service as a standalone process [%s]", workerPath.c_str());
    if (!ok) {
        LogError(L"Failed to get new name for process");
        LogExit(nullptr);
        return;
    }
    // Unquoted, a blank in the path would let CreateProcessW start another program.
    const std::wstring commandLine = L"\"" + workerPath + L"\" -autoupdate";
    // CreateProcessW may write into its command line.
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        // The worker is neither waited for nor watched.
        const Base::UniqueHandle process(info.hProcess);
        const Base::UniqueHandle thread(info.hThread);
        LogInfo(L"Auto update will be respawned as a standalone process");
    } else {
        LogError(L"Failed to respawn with error [%lu]", GetLastError());
    }
    LogExit(nullptr);
}
