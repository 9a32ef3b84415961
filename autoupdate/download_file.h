#pragma once
// The cache file a download goes into. Its stdio stream is opened lazily, at
// the first write, in append mode: every write lands after whatever the file
// already holds, which is how a resumed download continues a partial file.
// Each write is flushed, so the size on disk is always the bytes received.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "base/unique_any.h"

using UniqueStdioFile = Base::UniqueAny<Base::NullHandleTraits<FILE*, fclose>>;

class DownloadFile {
public:
    explicit DownloadFile(std::wstring path) : path(std::move(path)) {}
    virtual ~DownloadFile() = default;
    DownloadFile(const DownloadFile&) = delete;
    DownloadFile& operator=(const DownloadFile&) = delete;

    const std::wstring& Path() const { return path; }

    // The file's size on disk; empty when it does not exist.
    std::optional<uint64_t> SizeOnDisk() const;

    // Appends and flushes; false (with the reason logged) when the file
    // cannot be opened or takes fewer bytes than given.
    bool Append(const uint8_t* data, size_t size);

    void Close() { stream.Reset(); }

    // Closes the stream and deletes the file; false when it is still there.
    bool Delete();

private:
    std::wstring path;
    UniqueStdioFile stream;
};
