#pragma once
// The machine-wide download cache: ProgramData\Veltrastone\Client\AutoUpdate\,
// holding installers named after a hash and the worker copy of this program.
// The folder text always ends with a backslash; it is empty when the known
// folder is unavailable.
//
// The service runs programs from this folder, so every level of it is secured
// (see protected_folder.h) whenever a DownloadCache is made, and a cache any
// level of which had to be taken over is emptied. A refused cache is one that
// cannot be had (unknown, or a level that could not be created or secured) or
// that is redirected (a level is a reparse point, leading elsewhere): nothing
// is copied into it, run from it or deleted in it, and never in the current
// folder instead.

#include <string>
#include <vector>

#include "base/unique_any.h"

extern const wchar_t kWorkerFileName[];

class DownloadCache {
public:
    // Finds the folder, creates and secures it. Never throws.
    DownloadCache();
    virtual ~DownloadCache();
    DownloadCache(const DownloadCache&) = delete;
    DownloadCache& operator=(const DownloadCache&) = delete;

    const std::wstring& Folder() const { return folder; }

    // folder + (hash, or urlHash when hash is empty) + ".exe".
    std::wstring CachePathFor(const std::wstring& hash, const std::wstring& urlHash) const;
    // Why the cache must not be used now, as an update's error text (the
    // reason is logged); null when it may.
    const char* Refusal() const;
    // Deletes every ".exe" file directly in the folder, unless it is refused.
    void CleanCache() const;
    // Deletes the installers an earlier update left: every ".exe" file but
    // the one at keptPath and the worker copy, unless the cache is refused.
    void RemoveInstallersExcept(const std::wstring& keptPath) const;

private:
    // Veltrastone, Veltrastone\Client and the cache folder, without trailing
    // backslashes; empty when the folder is unknown.
    std::vector<std::wstring> Levels() const;
    // Deletes the ".exe" files of the folder whose names are not kept; the
    // error of listing them, or 0.
    unsigned long DeletePrograms(const std::vector<std::wstring>& keptNames) const;

    Base::UniqueCoTaskMemory<wchar_t> knownFolder;
    std::wstring folder;
    bool secured = false;
};
