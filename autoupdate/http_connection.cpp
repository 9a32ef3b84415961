#include "autoupdate/http_connection.h"

#include <winhttp.h>

#include <cwchar>
#include <vector>

#include "autoupdate/http_user_agent.h"
#include "autoupdate/transfer_limits.h"
#include "autoupdate/url_parts.h"
#include "base/log.h"
#include "base/windows_version.h"

namespace {

constexpr int kResolveTimeoutMs = 0;  // no limit
constexpr int kConnectTimeoutMs = 60000;
constexpr int kSendTimeoutMs = 30000;
constexpr size_t kRangeHeaderCapacity = 255;

// Windows 7 and 8 offer only SSL 3 and TLS 1.0 unless a session asks for
// more; Windows 7 without KB3140245 refuses the newer flags, and then gets TLS
// 1.0 without SSL 3. Windows 8.1 and later offer TLS 1.2 by default and keep
// their own defaults (and an administrator's choice of them).
void EnableTls12(HINTERNET session) {
    if (Base::IsWindowsVersionOrLater(6, 3)) return;
    for (DWORD protocols : {WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 |
                                WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2,
                            WINHTTP_FLAG_SECURE_PROTOCOL_TLS1}) {
        if (WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols))) return;
        LogWarning(L"Call to WinHttpSetOption (secure protocols [0x%x]) failed with: [%lu]", protocols, GetLastError());
    }
}

const wchar_t* OrNone(const std::wstring& text) { return text.empty() ? nullptr : text.c_str(); }

// A decimal Content-Length. Anything else reads as -1, a number too large for
// 64 bits as INT64_MAX: the caller refuses both.
int64_t ParseContentLength(const std::wstring& text) {
    if (text.empty() || text.find_first_not_of(L"0123456789") != std::wstring::npos) return -1;
    int64_t value = 0;
    for (wchar_t digit : text) {
        if (value > (INT64_MAX - 9) / 10) return INT64_MAX;
        value = value * 10 + (digit - L'0');
    }
    return value;
}

}  // namespace

bool HttpConnection::OpenRequest(const std::wstring& url, const uint32_t& start, const int32_t& length) {
    LogEnter(nullptr);
    UrlParts parts(url);
    if (!CrackUrl(parts)) {
        LogError(L"Unable to crack url");
        return false;
    }
    const ProxyChoice choice = SelectProxy(url);

    session.Reset(WinHttpOpen(kHttpUserAgent, choice.accessType, OrNone(choice.proxy), OrNone(choice.bypass), 0));
    if (!session) {
        LogError(L"Call to WinHttpOpen failed with: [%lu]", GetLastError());
        return false;
    }
    EnableTls12(session.Get());
    const DWORD receiveTimeoutMs = ReceiveTimeoutMs();
    WinHttpSetTimeouts(session.Get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs,
                       static_cast<int>(receiveTimeoutMs));
    LogInfo(L"Setting timeouts: Resolve [%d], Connect [%d], Send [%d], Receive [%d]", kResolveTimeoutMs,
            kConnectTimeoutMs, kSendTimeoutMs, static_cast<int>(receiveTimeoutMs));

    // The cracked port: a url naming a port is served there, one without gets
    // its scheme's default.
    connection.Reset(WinHttpConnect(session.Get(), parts.host.c_str(), static_cast<INTERNET_PORT>(parts.port), 0));
    if (!connection) {
        LogError(L"Call to WinHttpConnect failed with: [%lu]", GetLastError());
        return false;
    }

    const wchar_t* acceptTypes[] = {L"application/octet-stream", nullptr};
    const DWORD flags = parts.scheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    request.Reset(WinHttpOpenRequest(connection.Get(), L"GET", parts.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                     acceptTypes, flags));
    if (!request) {
        LogError(L"Call to WinHttpOpenRequest failed with: [%lu]", GetLastError());
        return false;
    }
    // The receive timeout alone does not bound the wait for a response's
    // headers everywhere (Wine ignores it there); this option does.
    if (!WinHttpSetOption(request.Get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, const_cast<DWORD*>(&receiveTimeoutMs),
                          sizeof(receiveTimeoutMs))) {
        LogError(L"Call to WinHttpSetOption failed with: [%lu]", GetLastError());
        return false;
    }

    if (start != 0 && length > 0) {
        wchar_t header[kRangeHeaderCapacity] = {};
        std::swprintf(header, kRangeHeaderCapacity, L"Range: bytes=%lu-%d", static_cast<unsigned long>(start),
                      length - 1);
        LogInfo(L"Adding range header: [%s]", header);
        if (!WinHttpAddRequestHeaders(request.Get(), header, static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD)) {
            LogError(L"Call to WinHttpAddRequestHeaders failed with: [%lu]", GetLastError());
            return false;
        }
    }
    if (!WinHttpSendRequest(request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        LogError(L"Call to WinHttpSendRequest failed with: [%lu]", GetLastError());
        return false;
    }
    if (!WinHttpReceiveResponse(request.Get(), nullptr)) {
        LogError(L"Call to WinHttpReceiveResponse failed with: [%lu]", GetLastError());
        return false;
    }
    LogExit(nullptr);
    return true;
}

bool HttpConnection::GetRequestHeaders(int32_t& statusCode, std::optional<int64_t>& contentLength) {
    LogEnter(nullptr);
    std::wstring lengthText;
    std::wstring statusText;
    contentLength.reset();
    if (QueryHeader(WINHTTP_QUERY_CONTENT_LENGTH, lengthText)) {
        contentLength = ParseContentLength(lengthText);
    } else {
        const DWORD error = GetLastError();
        LogError(L"Call to QueryRequestHeader (ContentLength) failed with: [%lu]", error);
        if (error != ERROR_WINHTTP_HEADER_NOT_FOUND) return false;
    }
    if (!QueryHeader(WINHTTP_QUERY_STATUS_CODE, statusText)) {
        LogError(L"Call to QueryRequestHeader (StatusCode) failed with: [%lu]", GetLastError());
        return false;
    }
    statusCode = static_cast<int32_t>(std::wcstol(statusText.c_str(), nullptr, 10));
    LogInfo(L"GetRequestHeaders returning, StatusCode: [%d], ContentLength: [%lld]", statusCode,
            contentLength.value_or(-1));
    LogExit(nullptr);
    return true;
}

bool HttpConnection::QueryHeader(DWORD infoLevel, std::wstring& text) {
    LogEnter(nullptr);
    DWORD sizeInBytes = 0;
    if (WinHttpQueryHeaders(request.Get(), infoLevel, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                            &sizeInBytes, WINHTTP_NO_HEADER_INDEX) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        const DWORD error = GetLastError();
        LogError(L"Call to WinHttpQueryHeaders failed with: [%lu]", error);
        SetLastError(error);
        return false;
    }
    std::vector<wchar_t> buffer(sizeInBytes / sizeof(wchar_t) + 1, L'\0');
    if (!WinHttpQueryHeaders(request.Get(), infoLevel, WINHTTP_HEADER_NAME_BY_INDEX, buffer.data(), &sizeInBytes,
                             WINHTTP_NO_HEADER_INDEX)) {
        const DWORD error = GetLastError();
        LogError(L"Call to WinHttpQueryHeaders failed with: [%lu]", error);
        SetLastError(error);
        return false;
    }
    text.assign(buffer.data());
    LogInfo(L"Request Header is: [%s]", text.c_str());
    LogExit(nullptr);
    return true;
}

bool HttpConnection::QueryDataAvailable(DWORD& available) {
    if (WinHttpQueryDataAvailable(request.Get(), &available)) return true;
    LogError(L"Call to WinHttpQueryDataAvailable failed with: [%lu]", GetLastError());
    return false;
}

bool HttpConnection::ReadData(void* buffer, DWORD size, DWORD& read) {
    read = 0;
    if (WinHttpReadData(request.Get(), buffer, size, &read)) return true;
    LogError(L"Call to WinHttpReadData failed with: [%lu]", GetLastError());
    return false;
}

void HttpConnection::Close() {
    request.Reset();
    connection.Reset();
    session.Reset();
}
