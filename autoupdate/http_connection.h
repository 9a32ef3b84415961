#pragma once
// One HTTP exchange over WinHTTP, used synchronously: a session (with the
// chosen proxy and the fixed timeouts), a connection to the url's host and
// port, and a GET request for its path, optionally for a byte range. The three
// handles are opened in that order and closed in the reverse one: by Close(),
// by opening the next request, and by the destructor.
//
// Every operation logs its failure with the Win32 error and returns false;
// throwing is left to the caller.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "autoupdate/proxy_choice.h"
#include "autoupdate/proxy_settings.h"
#include "autoupdate/winhttp_handle.h"

class HttpConnection {
public:
    explicit HttpConnection(const ProxySettings& settings) : settings(settings) {}
    virtual ~HttpConnection() = default;
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    ProxyChoice SelectProxy(const std::wstring& url) const { return ChooseProxy(settings, url); }

    // Sends a GET for url and waits for the response's headers. With start
    // above 0 and length above 0 it asks for the bytes from start to the end.
    bool OpenRequest(const std::wstring& url, const uint32_t& start, const int32_t& length);

    // Status code and Content-Length of the response. A response without a
    // Content-Length is not a failure here: contentLength is then empty, and
    // the caller decides whether it needs one. A Content-Length that is not a
    // decimal number reads as -1.
    bool GetRequestHeaders(int32_t& statusCode, std::optional<int64_t>& contentLength);

    // One response header as text. On failure the thread's last error is the
    // one WinHTTP reported.
    bool QueryHeader(DWORD infoLevel, std::wstring& text);

    bool QueryDataAvailable(DWORD& available);
    bool ReadData(void* buffer, DWORD size, DWORD& read);

    void Close();

private:
    ProxySettings settings;
    // Declared in opening order, so that members are destroyed request first.
    UniqueWinHttpHandle session;
    UniqueWinHttpHandle connection;
    UniqueWinHttpHandle request;
};
