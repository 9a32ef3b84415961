#include "autoupdate/proxy_choice.h"

#include <windows.h>
#include <winhttp.h>

#include <optional>

#include "autoupdate/http_user_agent.h"
#include "autoupdate/url_parts.h"
#include "autoupdate/winhttp_handle.h"
#include "base/log.h"
#include "base/windows_version.h"
#include "base/unique_any.h"

namespace {

// The strings WinHttpGetProxyForUrl hands out are freed with GlobalFree.
using UniqueGlobalText = Base::UniqueAny<Base::NullHandleTraits<LPWSTR, GlobalFree>>;

// One answer of WinHttpGetProxyForUrl; the strings are the caller's to free.
struct Discovery {
    bool found = false;
    DWORD error = 0;
    DWORD accessType = 0;
    UniqueGlobalText proxy;
    UniqueGlobalText bypass;

    const wchar_t* ProxyText() const { return proxy ? proxy.Get() : L"NULL"; }
    const wchar_t* BypassText() const { return bypass ? bypass.Get() : L"NULL"; }
    ProxyChoice Choice() const { return {accessType, proxy ? proxy.Get() : L"", bypass ? bypass.Get() : L""}; }
};

Discovery GetProxyForUrl(HINTERNET session, const std::wstring& url, WINHTTP_AUTOPROXY_OPTIONS options) {
    Discovery discovery;
    WINHTTP_PROXY_INFO info = {};
    // The machine's credentials go only to a script host that asks for them.
    options.fAutoLogonIfChallenged = FALSE;
    BOOL found = WinHttpGetProxyForUrl(session, url.c_str(), &options, &info);
    if (!found && GetLastError() == ERROR_WINHTTP_LOGIN_FAILURE) {
        options.fAutoLogonIfChallenged = TRUE;
        found = WinHttpGetProxyForUrl(session, url.c_str(), &options, &info);
    }
    if (!found) {
        discovery.error = GetLastError();
        return discovery;
    }
    discovery.found = true;
    discovery.accessType = info.dwAccessType;
    discovery.proxy.Reset(info.lpszProxy);
    discovery.bypass.Reset(info.lpszProxyBypass);
    return discovery;
}

std::optional<ProxyChoice> DiscoverByWpad(HINTERNET session, const std::wstring& url) {
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    const Discovery discovery = GetProxyForUrl(session, url, options);
    if (!discovery.found) {
        LogError(L"Failed to detect proxy server from DHCP/DNS for url [%s] with error [%lu]",
                 WithoutPasswords(url).c_str(), discovery.error);
        return std::nullopt;
    }
    LogInfo(L"Detected proxy server from DHCP/DNS for url [%s] and found accessType [0x%x] proxy [%s] bypass [%s]",
            WithoutPasswords(url).c_str(), discovery.accessType, discovery.ProxyText(), discovery.BypassText());
    return discovery.Choice();
}

std::optional<ProxyChoice> DiscoverByScript(HINTERNET session, const std::wstring& scriptUrl, const std::wstring& url) {
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = scriptUrl.c_str();
    const Discovery discovery = GetProxyForUrl(session, url, options);
    if (!discovery.found) {
        LogError(L"Failed to detect proxy server from autoConfigUrl [%s] url [%s] with error [%lu]",
                 WithoutPasswords(scriptUrl).c_str(), WithoutPasswords(url).c_str(), discovery.error);
        return std::nullopt;
    }
    LogInfo(
        L"Detected proxy server from autoConfigUrl [%s] url [%s] and found accessType [0x%x] proxy [%s] "
        L"bypass [%s]",
        WithoutPasswords(scriptUrl).c_str(), WithoutPasswords(url).c_str(), discovery.accessType, discovery.ProxyText(),
        discovery.BypassText());
    return discovery.Choice();
}

std::optional<ProxyChoice> DiscoverProxy(const ProxySettings& settings, const std::wstring& url) {
    const UniqueWinHttpHandle session(
        WinHttpOpen(kHttpUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        LogError(L"Failed to create a proxyless session to determine proxy for url [%s] error [%lu]",
                 WithoutPasswords(url).c_str(), GetLastError());
        return std::nullopt;
    }
    if (settings.autoDetect) {
        if (auto choice = DiscoverByWpad(session.Get(), url)) return choice;
    }
    if (!settings.autoConfigUrl.empty()) return DiscoverByScript(session.Get(), settings.autoConfigUrl, url);
    return std::nullopt;
}

}  // namespace

ProxyChoice ChooseProxy(const ProxySettings& settings, const std::wstring& url) {
    if (settings.autoDetect || !settings.autoConfigUrl.empty()) {
        if (auto choice = DiscoverProxy(settings, url)) return *choice;
    }
    if (!settings.proxy.empty()) {
        LogInfo(L"Using named server for url [%s] proxy [%s] bypass [%s]", WithoutPasswords(url).c_str(),
                settings.proxy.c_str(), settings.proxyBypass.c_str());
        return {WINHTTP_ACCESS_TYPE_NAMED_PROXY, settings.proxy, settings.proxyBypass};
    }
    if (Base::IsWindowsVersionOrLater(6, 3)) {
        LogInfo(L"Using automatic proxy server for url [%s]", WithoutPasswords(url).c_str());
        return {WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, L"", L""};
    }
    LogInfo(L"Using default proxy server for url [%s]", WithoutPasswords(url).c_str());
    return {WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, L"", L""};
}
