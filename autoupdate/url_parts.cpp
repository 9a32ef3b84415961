#include "autoupdate/url_parts.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>

#include "base/log.h"

bool CrackUrl(UrlParts& parts) {
    LogEnter(nullptr);
    LogInfo(L"Attempting to crack url: [%s]", WithoutPasswords(parts.url).c_str());
    URL_COMPONENTS components = {};
    components.dwStructSize = sizeof(components);
    // Lengths of -1 make WinHTTP point into the url instead of copying.
    components.dwSchemeLength = static_cast<DWORD>(-1);
    components.dwHostNameLength = static_cast<DWORD>(-1);
    components.dwUrlPathLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(parts.url.c_str(), 0, 0, &components)) {
        LogError(L"Failed to crack url.  Error code: [%lu]", GetLastError());
        return false;
    }
    parts.port = components.nPort;
    parts.scheme = static_cast<uint32_t>(components.nScheme);
    parts.schemeName = components.nScheme == INTERNET_SCHEME_HTTPS ? L"https" : L"http";
    // The host ends where WinHTTP says, so a ":port" after it stays out; the
    // path runs to the end of the url and so keeps the query and fragment.
    if (components.lpszHostName) parts.host.assign(components.lpszHostName, components.dwHostNameLength);
    if (components.lpszUrlPath) parts.path = components.lpszUrlPath;
    LogInfo(L"Cracked url into components.  Scheme: [%s], Host: [%s], Path: [%s]", parts.schemeName.c_str(),
            parts.host.c_str(), parts.path.c_str());
    LogExit(nullptr);
    return true;
}

// A url's user information ends at the last "@" of its authority, which ends
// at the path, the query, the fragment, or the end of a JSON string; the
// password starts after the first ":" of the user information.
std::wstring WithoutPasswords(std::wstring text) {
    // A JSON request may write the slashes escaped.
    for (const std::wstring separator : {L"://", L":\\/\\/"}) {
        for (size_t scheme = text.find(separator); scheme != std::wstring::npos;
             scheme = text.find(separator, scheme + separator.size())) {
            const size_t authority = scheme + separator.size();
            const size_t end = std::min(text.find_first_of(L"/?#\"\\ ", authority), text.size());
            const size_t at = text.rfind(L'@', end - 1);
            const size_t colon = text.find(L':', authority);
            if (at != std::wstring::npos && at >= authority && colon < at) {
                text.replace(colon + 1, at - colon - 1, L"***");
            }
        }
    }
    return text;
}
