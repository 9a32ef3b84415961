#include "autoupdate/download_cache.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <cwctype>

#include "autoupdate/protected_folder.h"
#include "base/log.h"

namespace {
const wchar_t kCompanyFolder[] = L"Veltrastone";

// The hash comes from the caller's instruction and becomes a file name: only
// hexadecimal text may, so that nothing like "..\\" leaves the cache folder.
bool IsHexName(const std::wstring& text) {
    if (text.size() > 128) return false;
    for (wchar_t c : text) {
        if (!iswxdigit(c) || c > L'f') return false;
    }
    return true;
}
const wchar_t kCacheSubfolder[] = L"\\Client\\AutoUpdate\\";
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
    const std::vector<std::wstring> levels = Levels();
    for (size_t i = 0; i < levels.size(); ++i) {
        // Creating below a reparse point would create somewhere else.
        if (IsReparsePoint(levels[i])) break;
        const FolderCreation creation = CreateProtectedFolder(levels[i]);
        if (creation == FolderCreation::Failed) break;
        // A cache folder made by an earlier build inherited ProgramData's
        // rights, which let every user add files.
        const bool isCacheFolder = i + 1 == levels.size();
        if (creation == FolderCreation::Existed && isCacheFolder) ProtectFolder(levels[i]);
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

bool DownloadCache::IsRedirected() const {
    for (const std::wstring& level : Levels()) {
        if (IsReparsePoint(level)) {
            LogError(L"Download cache folder [%s] is a reparse point; refusing to use it", level.c_str());
            return true;
        }
    }
    return false;
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
    if (IsRedirected()) {
        LogExit(nullptr);
        return;
    }
    const std::wstring pattern = folder + L"*.exe";
    WIN32_FIND_DATAW entry;
    const Base::UniqueFindHandle find(FindFirstFileW(pattern.c_str(), &entry));
    if (!find) {
        LogError(L"Failed to enumerate files in cache, pattern [%s], error [%lu]", pattern.c_str(), GetLastError());
        LogExit(nullptr);
        return;
    }
    do {
        LogEnter(nullptr);
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            LogInfo(L"Deleting file: [%s]", entry.cFileName);
            // A file in use (the image of a running worker) stays.
            DeleteFileW((folder + entry.cFileName).c_str());
        }
        LogExit(nullptr);
    } while (FindNextFileW(find.Get(), &entry));
    LogExit(nullptr);
}
