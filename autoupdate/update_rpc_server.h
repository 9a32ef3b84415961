#pragma once
// The local RPC server of the auto-update interface UpdateRpc: one asynchronous
// procedure, Invoke, that carries a JSON instruction in and maybe a JSON reply
// out over ncalrpc. "Listening" means: the endpoint is registered with the RPC
// runtime, the interface is registered, its bindings are published in the
// endpoint mapper and the runtime's threads serve calls. Failures are logged;
// the caller carries on without the interface.

#include <windows.h>
#include <rpc.h>

#include "autoupdate/endpoint_listener_guard.h"

class UpdateRpcServer {
public:
    UpdateRpcServer() = default;
    UpdateRpcServer(const UpdateRpcServer&) = delete;
    UpdateRpcServer& operator=(const UpdateRpcServer&) = delete;

    void StartListening(const wchar_t* endpoint);
    // Safe to call when StartListening failed.
    void StopListening();

    // Server routine of procedure 0, on a runtime thread: runs the instruction,
    // then completes the asynchronous call before returning (Wine crashes when
    // a call is completed after its routine has returned).
    static void Invoke(PRPC_ASYNC_STATE asyncState, handle_t binding, const wchar_t* request,
                       wchar_t** response);

private:
    void FailAfterBindings(const wchar_t* format, RPC_STATUS status);

    RPC_BINDING_VECTOR* bindings = nullptr;
    EndpointListenerGuard guard;
};

// The process's one server, as the service and the worker use it.
void StartListening(const wchar_t* endpoint);
void StopListening();
