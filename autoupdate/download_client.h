#pragma once
// Downloads one installer from an HTTP(S) URL into one cache file, resuming a
// partial file that an earlier attempt left behind. A FileDownloader serves
// one URL and one file, and Download is called once.
//
// Resuming: when the file already holds bytes, a first request learns the
// full length and a second one asks for the rest with a Range header; a 206
// answer for exactly that part is appended, a 200 answer replaces the partial
// file. A 206 answer for another part deletes the partial file and fails; a
// partial file longer than the full length is deleted and the plain answer
// read instead. The body is written in chunks of 512 KiB, so a failed
// download leaves its whole chunks. Every failure is thrown as
// AutoUpdateException, an empty download included; reads are bounded by the
// limits of transfer_limits.h.

#include <cstdint>
#include <string>

#include "autoupdate/download_file.h"
#include "autoupdate/http_connection.h"
#include "autoupdate/proxy_settings.h"

class FileDownloader {
public:
    FileDownloader(const ProxySettings& proxy, const std::wstring& path) : connection(proxy), file(path) {}
    virtual ~FileDownloader() = default;
    FileDownloader(const FileDownloader&) = delete;
    FileDownloader& operator=(const FileDownloader&) = delete;

    // What becomes of the bytes an earlier attempt left in the file.
    enum class CachedBytes { Resume, Discard };

    // True when the file holds bytes of an earlier attempt.
    bool Download(const std::wstring& url, CachedBytes cached = CachedBytes::Resume);

private:
    uint64_t CachedSize(CachedBytes cached);
    int32_t RequireFullLength(const std::wstring& url, int32_t statusCode, const std::optional<int64_t>& length);
    void RequirePartFrom(uint64_t start, int32_t contentLength);
    void DeletePartial();
    void ReadToFile(uint64_t expectedLength);
    // The file's size after the write.
    uint64_t WriteChunk(const uint8_t* data, DWORD size);

    HttpConnection connection;
    DownloadFile file;
};
