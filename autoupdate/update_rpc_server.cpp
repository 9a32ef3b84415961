#include "autoupdate/update_rpc_server.h"

#include <exception>

#include "autoupdate/update_protocol.h"
#include "autoupdate/url_parts.h"
#include "base/log.h"
#include "update_rpc.h"

namespace {

RPC_WSTR Wide(const wchar_t* text) { return reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(text)); }

UpdateRpcServer& ProcessServer() {
    static UpdateRpcServer server;
    return server;
}

}  // namespace

// The stub's routine table names this C entry (see correct_widl_stubs.py).
extern "C" void __RPC_USER UpdateRpcServerInvoke(PRPC_ASYNC_STATE asyncState, handle_t binding,
                                                 const wchar_t* request, UpdateRpcReply* response) {
    UpdateRpcServer::Invoke(asyncState, binding, request, response);
}

void UpdateRpcServer::StartListening(const wchar_t* endpoint) {
    LogEnter(L"Entering RPC StartListening");
    if (endpoint == nullptr) {
        LogError(L"RPC StartListening: no endpoint name");
        return;
    }
    if (!guard.Acquire(endpoint)) return;

    RPC_STATUS status = RpcServerUseProtseqEpW(Wide(L"ncalrpc"), RPC_C_PROTSEQ_MAX_REQS_DEFAULT, Wide(endpoint), nullptr);
    if (status != RPC_S_OK) {
        LogError(L"RpcServerUseProtseqEp returned [%lu]", status);
        guard.Release();
        return;
    }
    // Local callers only: any local account may call, nobody from the network.
    status = RpcServerRegisterIf2(UpdateRpc_v1_0_s_ifspec, nullptr, nullptr, RPC_IF_ALLOW_LOCAL_ONLY,
                                  RPC_C_LISTEN_MAX_CALLS_DEFAULT, static_cast<unsigned>(-1), nullptr);
    if (status != RPC_S_OK) {
        LogError(L"RpcServerRegisterIf UpdateRPC returned [%lu]", status);
        guard.Release();
        return;
    }
    status = RpcServerInqBindings(&bindings);
    if (status != RPC_S_OK) {
        LogError(L"RpcServerInqBindings returned [%lu]", status);
        RpcServerUnregisterIf(UpdateRpc_v1_0_s_ifspec, nullptr, FALSE);
        bindings = nullptr;
        guard.Release();
        return;
    }
    status = RpcEpRegisterW(UpdateRpc_v1_0_s_ifspec, bindings, nullptr, nullptr);
    if (status != RPC_S_OK) return FailAfterBindings(L"RpcEpRegister returned [%lu]", status);
    status = RpcServerRegisterAuthInfoW(nullptr, RPC_C_AUTHN_WINNT, nullptr, nullptr);
    if (status != RPC_S_OK) return FailAfterBindings(L"RpcServerRegisterAuthInfo returned [%lu]", status);
    status = RpcServerListen(1, RPC_C_LISTEN_MAX_CALLS_DEFAULT, TRUE);
    if (status != RPC_S_OK) return FailAfterBindings(L"RpcServerListen returned [%lu]", status);
    LogExit(L"Exiting RPC StartListening");
}

void UpdateRpcServer::FailAfterBindings(const wchar_t* format, RPC_STATUS status) {
    LogError(format, status);
    RpcServerUnregisterIf(UpdateRpc_v1_0_s_ifspec, nullptr, FALSE);
    RpcBindingVectorFree(&bindings);
    bindings = nullptr;
    guard.Release();
}

void UpdateRpcServer::StopListening() {
    LogEnter(L"Entering RPC StopListening");
    RpcMgmtStopServerListening(nullptr);
    RPC_STATUS status = RpcServerUnregisterIf(UpdateRpc_v1_0_s_ifspec, nullptr, FALSE);
    if (status != RPC_S_OK) LogError(L"RpcServerUnregisterIf UpdateRpc returned [%lu]", status);
    if (bindings != nullptr) {
        status = RpcEpUnregister(UpdateRpc_v1_0_s_ifspec, bindings, nullptr);
        if (status != RPC_S_OK) LogError(L"RpcEpUnregister UpdateRpc returned [%lu]", status);
        RpcBindingVectorFree(&bindings);
        bindings = nullptr;
    }
    guard.Release();
    LogExit(L"Exiting RPC StopListening");
}

void UpdateRpcServer::Invoke(PRPC_ASYNC_STATE asyncState, handle_t, const wchar_t* request, wchar_t** response) {
    LogEnter(nullptr);
    LogInfo(L"RPC Invoke: raw request: [%s]", WithoutPasswords(request).c_str());
    // One call is the edge of the component: nothing may reach the runtime.
    try {
        DispatchInstruction(request, response);
    } catch (const std::exception& error) {
        LogError(L"RPC Invoke: instruction failed error [%S]", error.what());
    } catch (...) {
        LogError(L"RPC Invoke: instruction failed error [%S]", "unknown exception");
    }
    RpcAsyncCompleteCall(asyncState, nullptr);
    LogExit(nullptr);
}

void StartListening(const wchar_t* endpoint) { ProcessServer().StartListening(endpoint); }

void StopListening() { ProcessServer().StopListening(); }
