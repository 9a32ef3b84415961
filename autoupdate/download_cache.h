#pragma once
// The machine-wide download cache: ProgramData\Veltrastone\Client\AutoUpdate\,
// holding installers named after a hash and the worker copy of this program.
// The folder text always ends with a backslash; it is empty when the known
// folder is unavailable, which makes cache paths bare file names.

#include <string>

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
    // Deletes every ".exe" file directly in the folder.
    void CleanCache() const;

private:
    wchar_t* knownFolder = nullptr;
    std::wstring folder;
};
