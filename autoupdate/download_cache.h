#pragma once
// The machine-wide download cache: ProgramData\Veltrastone\Client\AutoUpdate\,
// holding installers named after a hash and the worker copy of this program.
// The folder text always ends with a backslash; it is empty when the known
// folder is unavailable, which makes cache paths bare file names.
//
// The service runs programs from this folder, so each level it creates gets a
// protected DACL (see protected_folder.h) and the cache folder itself gets it
// even when it existed before. A redirected cache is one where the cache
// folder or one of its "Veltrastone\Client" parents is a reparse point: it
// leads elsewhere, and nothing is copied into it, run from it or deleted in it.

#include <string>
#include <vector>

#include "base/unique_any.h"

class DownloadCache {
public:
    // Finds the folder and creates it if needed. Never throws.
    DownloadCache();
    virtual ~DownloadCache();
    DownloadCache(const DownloadCache&) = delete;
    DownloadCache& operator=(const DownloadCache&) = delete;

    const std::wstring& Folder() const { return folder; }

    // folder + (hash, or urlHash when hash is empty) + ".exe".
    std::wstring CachePathFor(const std::wstring& hash, const std::wstring& urlHash) const;
    // Deletes every ".exe" file directly in the folder, unless it is redirected.
    void CleanCache() const;
    // True, with an ERROR line, when the cache is redirected.
    bool IsRedirected() const;

private:
    // Veltrastone, Veltrastone\Client and the cache folder, without trailing
    // backslashes; empty when the folder is unknown.
    std::vector<std::wstring> Levels() const;

    Base::UniqueCoTaskMemory<wchar_t> knownFolder;
    std::wstring folder;
};
