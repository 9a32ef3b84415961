#include "update_rpc_client.h"

#include <cstdlib>

#include "base/exception.h"
#include "base/text.h"
#include "rpc_call_guard.h"

namespace {
RPC_WSTR Wide(const wchar_t* text) { return reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(text)); }
}  // namespace

UpdateRpcClient::UpdateRpcClient(const std::wstring& endpoint, bool authenticated) {
    RPC_WSTR text = nullptr;
    bindStatus = RpcStringBindingComposeW(nullptr, Wide(L"ncalrpc"), nullptr, Wide(endpoint.c_str()), nullptr, &text);
    if (bindStatus != RPC_S_OK) return;
    bindStatus = RpcBindingFromStringBindingW(text, &binding);
    RpcStringFreeW(&text);
    if (bindStatus != RPC_S_OK || !authenticated) return;
    bindStatus = RpcBindingSetAuthInfoW(binding, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY, RPC_C_AUTHN_WINNT, nullptr,
                                        RPC_C_AUTHZ_NONE);
}

UpdateRpcClient::~UpdateRpcClient() {
    if (binding != nullptr) RpcBindingFree(&binding);
}

UpdateRpcCallResult UpdateRpcClient::Call(const std::wstring& request) const {
    UpdateRpcCallResult result;
    if (bindStatus != RPC_S_OK) {
        result.status = bindStatus;
        return result;
    }
    wchar_t* reply = nullptr;
    result.status = UpdateRpcGuardedInvoke(binding, request.c_str(), &reply);
    if (reply != nullptr) {
        if (result.status == 0) result.reply = std::wstring(reply);
        MIDL_user_free(reply);
    }
    return result;
}

std::wstring DescribeRpcStatus(unsigned long status) {
    std::wstring text = std::to_wstring(status);
    std::wstring body = ToWide(Base::SystemMessage(status));
    while (!body.empty() && (body.back() == L'\n' || body.back() == L'\r' || body.back() == L' ' || body.back() == L'.'))
        body.pop_back();
    if (!body.empty()) text += L" (" + body + L")";
    return text;
}
