#pragma once
// The proxy part of an update request, as the client sent it. autoDetect asks
// for WPAD discovery; autoConfigUrl names a proxy auto-config script; proxy
// and proxyBypass are a WinHTTP proxy list and its bypass list. An empty
// string means "not given".

#include <string>

struct ProxySettings {
    bool autoDetect = true;
    std::wstring autoConfigUrl;
    std::wstring proxy;
    std::wstring proxyBypass;
};
