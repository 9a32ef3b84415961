#pragma once
// How one request reaches its server: a WinHTTP access type with the proxy
// list and bypass list that go with it (both empty unless the access type is
// WINHTTP_ACCESS_TYPE_NAMED_PROXY).
//
// ChooseProxy tries the request's proxy settings in a fixed order: WPAD
// discovery, then the auto-config script, then the named proxy, then the
// system's automatic proxy (Windows 8.1 and later) or its default proxy. A
// discovery that fails is logged and the next way is tried, so choosing never
// fails.

#include <cstdint>
#include <string>

#include "autoupdate/proxy_settings.h"

struct ProxyChoice {
    uint32_t accessType;
    std::wstring proxy;
    std::wstring bypass;
};

ProxyChoice ChooseProxy(const ProxySettings& settings, const std::wstring& url);
