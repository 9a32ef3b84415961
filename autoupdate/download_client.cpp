#include "autoupdate/download_client.h"

#include "base/exception.h"

FileDownloader::FileDownloader(const ProxySettings& proxy, const std::wstring& path) : proxy(proxy), path(path) {}

FileDownloader::~FileDownloader() = default;

// The HTTP client is not part of this build: every download fails honestly.
void FileDownloader::Download(const std::wstring&) {
    throw AutoUpdateException("HTTP download is not available in this build");
}
