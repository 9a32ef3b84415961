#pragma once
// Downloads one installer from an HTTP(S) URL into one cache file, resuming a
// partial file. Every failure is thrown as AutoUpdateException.

#include <string>

struct ProxySettings {
    bool autoDetect = true;
    std::wstring autoConfigUrl;
    std::wstring proxy;
    std::wstring proxyBypass;
};

class FileDownloader {
public:
    FileDownloader(const ProxySettings& proxy, const std::wstring& path);
    virtual ~FileDownloader();
    FileDownloader(const FileDownloader&) = delete;
    FileDownloader& operator=(const FileDownloader&) = delete;

    void Download(const std::wstring& url);

private:
    ProxySettings proxy;
    std::wstring path;
};
