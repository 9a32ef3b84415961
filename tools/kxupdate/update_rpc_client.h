#pragma once
// A client of the UpdateRpc interface on one ncalrpc endpoint. A "call" sends
// one raw instruction and gets back the RPC status, and the reply when the
// server sent one (a null reply is "no reply", distinct from an empty one).

#include <windows.h>
#include <rpc.h>

#include <optional>
#include <string>

#include "autoupdate/update_rpc_names.h"

struct UpdateRpcCallResult {
    unsigned long status = 0;  // 0: the call completed
    std::optional<std::wstring> reply;
};

class UpdateRpcClient {
public:
    // Binds to the endpoint with NTLM (RPC_C_AUTHN_WINNT) authentication, or
    // with none, as the product's own client does.
    explicit UpdateRpcClient(const std::wstring& endpoint, bool authenticated = true);
    ~UpdateRpcClient();
    UpdateRpcClient(const UpdateRpcClient&) = delete;
    UpdateRpcClient& operator=(const UpdateRpcClient&) = delete;

    // 0 when the binding was made; otherwise the RPC status that prevented it.
    unsigned long BindStatus() const { return bindStatus; }
    // Safe from many threads at once on one client.
    UpdateRpcCallResult Call(const std::wstring& request) const;
    // The binding, for callers that send their own packets.
    RPC_BINDING_HANDLE Binding() const { return binding; }

private:
    RPC_BINDING_HANDLE binding = nullptr;
    unsigned long bindStatus = 0;
};

// The text of an RPC status for people, e.g. "1722 (the RPC server is unavailable)".
std::wstring DescribeRpcStatus(unsigned long status);
