#pragma once
// The cache file a download goes into, held open from the first look until
// the download ends, so that every size is the open file's own. Writes append
// to whatever the file already holds, which is how a resumed download
// continues a partial file.
//
// The service writes and deletes here with more rights than whoever may have
// put an entry into the cache, so a cache file is never followed anywhere: an
// entry that is a reparse point, has a second hard link, or resolves to
// another place is removed as a link (its target untouched) and counts as no
// file. The file itself is deleted through its open handle.

#include <windows.h>

#include <cstdint>
#include <string>

#include "base/unique_any.h"

class DownloadFile {
public:
    explicit DownloadFile(std::wstring path) : path(std::move(path)) {}
    virtual ~DownloadFile() = default;
    DownloadFile(const DownloadFile&) = delete;
    DownloadFile& operator=(const DownloadFile&) = delete;

    const std::wstring& Path() const { return path; }

    // Opens what an earlier attempt left. False (with the reason logged) when
    // an entry is there but can be neither used nor removed.
    bool OpenExisting();
    bool IsOpen() const { return handle.IsValid(); }

    // The open file's size; 0 when none is open.
    uint64_t Size() const;

    // Appends, creating the file at the first write when none is open; false
    // (with the reason logged) when it cannot be created or written whole.
    bool Append(const uint8_t* data, size_t size);

    void Close() { handle.Reset(); }

    // Deletes the open file and closes it; false when it is still there.
    bool Delete();

private:
    // True when the open handle is a plain file reached by its own name.
    bool IsPlainFile() const;
    bool RemoveLink();

    std::wstring path;
    Base::UniqueFileHandle handle;
};
