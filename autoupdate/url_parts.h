#pragma once
// One download URL split into what WinHTTP needs: the scheme (its name and
// WinHTTP's number for it), the host to connect to, the port, and the path to
// ask for. The path keeps the query and the fragment; the host never carries
// the port.

#include <cstdint>
#include <string>

struct UrlParts {
    explicit UrlParts(std::wstring url) : url(std::move(url)) {}
    virtual ~UrlParts() = default;

    std::wstring url;
    std::wstring schemeName;  // "https" or "http"
    std::wstring host;
    std::wstring path;
    uint32_t port = 0xFFFFFFFF;    // a 16-bit port once cracked
    uint32_t scheme = 0xFFFFFFFF;  // INTERNET_SCHEME_HTTP or INTERNET_SCHEME_HTTPS
};

// Fills the parts of a UrlParts whose url is set; false when WinHTTP cannot
// read the url.
bool CrackUrl(UrlParts& parts);

// A url, or a text holding urls, as trace lines show it: the password of each
// url reads "***".
std::wstring WithoutPasswords(std::wstring text);
