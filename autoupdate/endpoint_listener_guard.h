#pragma once
// Makes sure one process at a time serves an RPC endpoint. Wine's runtime lets
// a second server register the same ncalrpc endpoint and splits the calls
// between the two (Windows refuses it with RPC_S_DUPLICATE_ENDPOINT); the guard
// is a named mutex, "Local\kxclient-rpc-listener-<endpoint>", that exists for as
// long as its holder listens (or its process lives).
//
// Any account may create a mutex of that name first. So the guard is owned by
// this program's account and only that account may open it, and only a guard
// owned by this account counts: a name held by another account (one this
// process may not open, or one it may open but does not own) is ignored with
// a WARNING, and the server listens without a guard.

#include <windows.h>

#include <string>

#include "base/unique_any.h"

class EndpointListenerGuard {
public:
    // False (logged) only when another server of this account holds the guard.
    bool Acquire(const wchar_t* endpoint);
    void Release();

    // Object names allow no '\' after the namespace: '\' and '%' are escaped.
    static std::wstring GuardName(const wchar_t* endpoint);

private:
    Base::UniqueHandle mutex;
};
