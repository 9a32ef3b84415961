#include "autoupdate/download_cache.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <cwctype>

#include "autoupdate/protected_folder.h"
#include "base/log.h"

const wchar_t kWorkerFileName[] = L"kxclient_service_worker.exe";

namespace {
const wchar_t kCompanyFolder[] = L"Veltrastone";
const wchar_t kCacheSubfolder[] = L"\\Client\\AutoUpdate\\";
const char kRedirectedCache[] = "Download cache folder is a reparse point.";
const char kUnavailableCache[] = "Download cache folder is unavailable.";

// The hash comes from the caller's instruction and becomes a file name: only
// hexadecimal text may, so that nothing like "..\\" leaves the cache folder.
bool IsHexName(const std::wstring& text) {
    if (text.size() > 128) return false;
    for (wchar_t c : text) {
        if (!iswxdigit(c) || c > L'f') return false;
    }
    return true;
}
}  // namespace

DownloadCache::DownloadCache() {
    LogEnter(nullptr);
    const HRESULT hr = SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, knownFolder.Put());
    if (FAILED(hr)) {
        LogError(L"Call to SHGetKnownFolderPath failed with error code: [%ld]", static_cast<long>(hr));
        return;
    }
    LogInfo(L"SHGetKnownFolderPath returned: [%s]", knownFolder.Get());
    folder = std::wstring(knownFolder.Get()) + L"\\" + kCompanyFolder + kCacheSubfolder;
    knownFolder.Reset();
    bool takenOver = false;
    secured = true;
    // Top down: a level is only made below one that is secured, never below a
    // reparse point (which SecureFolder refuses).
    for (const std::wstring& level : Levels()) {
        const FolderSecuring securing = SecureFolder(level);
        secured = securing != FolderSecuring::Failed;
        if (!secured) break;
        takenOver |= securing == FolderSecuring::TakenOver;
    }
    if (secured && takenOver) {
        LogWarning(L"Emptying download cache folder [%s]: what it holds may have been planted", folder.c_str());
        EmptyFolder(Levels().back());
    }
    LogExit(nullptr);
}

DownloadCache::~DownloadCache() = default;

std::vector<std::wstring> DownloadCache::Levels() const {
    std::vector<std::wstring> levels;
    if (folder.empty()) return levels;
    std::wstring level = folder.substr(0, folder.size() - 1);
    for (int i = 0; i < 3; ++i) {
        levels.insert(levels.begin(), level);
        level.resize(level.rfind(L'\\'));
    }
    return levels;
}

const char* DownloadCache::Refusal() const {
    for (const std::wstring& level : Levels()) {
        if (IsReparsePoint(level)) {
            LogError(L"Download cache folder [%s] is a reparse point; refusing to use it", level.c_str());
            return kRedirectedCache;
        }
    }
    if (secured) return nullptr;
    LogError(L"Download cache folder [%s] is unavailable; refusing to use it", folder.c_str());
    return kUnavailableCache;
}

std::wstring DownloadCache::CachePathFor(const std::wstring& hash, const std::wstring& urlHash) const {
    LogEnter(nullptr);
    std::wstring name;
    if (!hash.empty() && !IsHexName(hash)) {
        LogWarning(L"Hash from policy is not hexadecimal text.  Using hash of url as the filename");
        name = urlHash;
    } else if (!hash.empty()) {
        LogInfo(L"A hash has been provided from policy.  Using this as the filename");
        name = hash;
    } else {
        LogInfo(L"No hash provided from policy.  Using hash of url as as the filename");
        name = urlHash;
    }
    LogEnter(nullptr);
    const std::wstring path = folder + name + L".exe";
    LogInfo(L"Full path to resource is: [%s]", path.c_str());
    LogExit(nullptr);
    LogInfo(L"Filename will be: [%s]", path.c_str());
    LogExit(nullptr);
    return path;
}

void DownloadCache::CleanCache() const {
    LogEnter(nullptr);
    LogInfo(L"Cleaning cache of all binary files");
    const DWORD error = DeletePrograms({});
    if (error != ERROR_SUCCESS) {
        LogError(L"Failed to enumerate files in cache, pattern [%s], error [%lu]", (folder + L"*.exe").c_str(), error);
    }
    LogExit(nullptr);
}

void DownloadCache::RemoveInstallersExcept(const std::wstring& keptPath) const {
    LogEnter(nullptr);
    LogInfo(L"Removing installers of earlier updates from the cache");
    // No installer at all is the usual case here.
    const DWORD error = DeletePrograms({keptPath.substr(keptPath.rfind(L'\\') + 1), kWorkerFileName});
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) {
        LogError(L"Failed to enumerate files in cache, pattern [%s], error [%lu]", (folder + L"*.exe").c_str(), error);
    }
    LogExit(nullptr);
}

unsigned long DownloadCache::DeletePrograms(const std::vector<std::wstring>& keptNames) const {
    if (Refusal() != nullptr) return ERROR_SUCCESS;
    WIN32_FIND_DATAW entry;
    const Base::UniqueFindHandle find(FindFirstFileW((folder + L"*.exe").c_str(), &entry));
    if (!find) return GetLastError();
    do {
        LogEnter(nullptr);
        bool kept = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        for (const std::wstring& name : keptNames) kept |= _wcsicmp(name.c_str(), entry.cFileName) == 0;
        if (!kept) {
            LogInfo(L"Deleting file: [%s]", entry.cFileName);
            // A file in use (the image of a running worker) stays.
            DeleteFileW((folder + entry.cFileName).c_str());
        }
        LogExit(nullptr);
    } while (FindNextFileW(find.Get(), &entry));
    return ERROR_SUCCESS;
}
