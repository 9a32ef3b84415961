#pragma once
// Makes sure one process at a time serves an RPC endpoint. The runtime would let
// a second server register the same ncalrpc endpoint and split the calls between
// the two; the guard is a named mutex, "Local\kxclient-rpc-listener-<endpoint>",
// that exists for as long as its holder listens (or its process lives).

#include <windows.h>

#include <string>

#include "base/unique_any.h"

class EndpointListenerGuard {
public:
    // True when this process now holds the endpoint; false (logged) when another
    // holder exists or the guard cannot be created.
    bool Acquire(const wchar_t* endpoint);
    void Release();

    // Object names allow no '\' after the namespace: '\' and '%' are escaped.
    static std::wstring GuardName(const wchar_t* endpoint);

private:
    Base::UniqueHandle mutex;
};
