#include "autoupdate/download_cache.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <cwctype>

#include "base/exception.h"
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
    const HRESULT hr = SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &knownFolder);
    if (FAILED(hr)) {
        LogError(L"Call to SHGetKnownFolderPath failed with error code: [%ld]", static_cast<long>(hr));
        knownFolder = nullptr;
        return;
    }
    LogInfo(L"SHGetKnownFolderPath returned: [%s]", knownFolder);
    folder = std::wstring(knownFolder) + L"\\" + kCompanyFolder + kCacheSubfolder;
    const int result = SHCreateDirectory(nullptr, folder.c_str());
    if (result != ERROR_SUCCESS && result != ERROR_FILE_EXISTS && result != ERROR_ALREADY_EXISTS) {
        LogError(L"Failed to create directory: [%s], with error: [%lu]", folder.c_str(), GetLastError());
    }
    CoTaskMemFree(knownFolder);
    knownFolder = nullptr;
    LogExit(nullptr);
}

DownloadCache::~DownloadCache() {
    if (knownFolder) CoTaskMemFree(knownFolder);
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

// Cleaning after a successful install is not part of this build; no update
// can succeed without an installer step, so this is never reached.
void DownloadCache::CleanCache() const {
    throw AutoUpdateException("Cache cleaning is not available in this build");
}
