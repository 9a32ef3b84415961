#pragma once
// Downloads one installer from an HTTP(S) URL into one cache file, resuming a
// partial file that an earlier attempt left behind. A FileDownloader serves
// one URL and one file, and Download is called once.
//
// Resuming: when the file already holds bytes, a first request learns the
// full length and a second one asks for the rest with a Range header; a 206
// answer is appended, a 200 answer replaces the partial file. The body is
// written in chunks of 512 KiB, each flushed, so an interrupted download
// leaves exactly the bytes received. Every failure is thrown as
// AutoUpdateException; a partial file survives every failure except a 200
// answer to a ranged request.

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

    void Download(const std::wstring& url);

private:
    uint64_t CachedSize();
    int32_t RequireFullLength(const std::wstring& url, int32_t statusCode, const std::optional<int64_t>& length);
    void ReadToFile(uint64_t expectedLength);

    HttpConnection connection;
    DownloadFile file;
};
