// UpdateRpcServer's registration steps and their failures, in this process,
// and its single-listener guard across processes.

#include <gtest/gtest.h>

#include <sddl.h>

#include <vector>

#include "autoupdate/endpoint_listener_guard.h"
#include "autoupdate/update_rpc_server.h"
#include "base/trace_provider.h"
#include "base/unique_any.h"
#include "rpc_test_processes.h"
#include "support/event_capture.h"
#include "update_rpc_client.h"

namespace {

using RpcTesting::TestServer;
using RpcTesting::UniqueEndpoint;

// Error lines are the only place these failures show.
std::vector<std::wstring> Errors(const Testing::EventCapture& capture) {
    std::vector<std::wstring> lines;
    for (const auto& event : capture.Events()) {
        if (event.descriptor.Id == Base::Trace::kEventError.Id) lines.push_back(event.WideField(1));
    }
    return lines;
}

// The runtime listens once per process here: StopListening does not wait for
// the listen to end (no RpcMgmtWaitServerListen), so a later RpcServerListen in
// the same process gets 1713. Only this case listens in the test process.
TEST(RpcServerListening, ASecondStartWhileListeningIsRefusedAndChangesNothing) {
    const std::wstring endpoint = UniqueEndpoint(L"inproc");
    UpdateRpcServer server;
    server.StartListening(endpoint.c_str());
    Testing::EventCapture capture;
    server.StartListening(endpoint.c_str());
    EXPECT_EQ(Errors(capture), (std::vector<std::wstring>{L"RPC endpoint [" + endpoint + L"] refused: this server already listens"}));
    // Still served by this process: a query before any begin has no reply.
    const UpdateRpcCallResult result = UpdateRpcClient(endpoint).Call(L"{\"id\":\"queryAutoUpdateProgress\"}");
    EXPECT_EQ(result.status, 0u);
    EXPECT_FALSE(result.reply.has_value());
    // A begin names its caller's account, with client authentication and without, but no password.
    for (const bool authenticated : {true, false}) {
        UpdateRpcClient(endpoint, authenticated).Call(LR"({"id":"beginAutoUpdate","data":7,"u":"http:\/\/kx:secret@h"})");
    }
    EXPECT_EQ(capture.Count(L"\\" + std::wstring(_wgetenv(L"USERNAME")) + L"]"), 2u);
    EXPECT_EQ(capture.Count(L"secret"), 0u);
    server.StopListening();
}

// Longer than ncalrpc accepts: the runtime refuses it with 1720. That leaves
// nothing registered and frees the guard; a stop afterwards logs the failed
// unregistration and still ends.
TEST(RpcServerListening, RefusedOrMissingEndpointIsLoggedAndStopStillEnds) {
    std::wstring tooLong = L"too-long-" + std::to_wstring(GetCurrentProcessId()) + L"-";
    tooLong.resize(300, L'x');
    Testing::EventCapture capture;
    UpdateRpcServer server;
    server.StartListening(tooLong.c_str());
    server.StopListening();
    server.StartListening(nullptr);
    EXPECT_EQ(Errors(capture), (std::vector<std::wstring>{L"RpcServerUseProtseqEp returned [1720]",
                                                          L"RpcServerUnregisterIf UpdateRpc returned [1717]",
                                                          L"RPC StartListening: no endpoint name"}));
    EXPECT_TRUE(EndpointListenerGuard().Acquire(tooLong.c_str()));
}

// RpcServerListen fails (1713) in a process that already listens: the interface
// is unregistered again and the bindings freed, so calls are refused as for an
// unknown interface and StopListening has no endpoint mapping left to undo.
TEST(RpcServerListening, FailedListenUndoesTheRegistration) {
    TestServer server(UniqueEndpoint(L"listenfails"), L"--already-listening yes");
    ASSERT_TRUE(server.Ready()) << server.Output();
    const UpdateRpcCallResult result = UpdateRpcClient(server.Endpoint()).Call(L"hello");
    EXPECT_EQ(result.status, static_cast<unsigned long>(RPC_S_UNKNOWN_IF));
    EXPECT_FALSE(result.reply.has_value());
    EXPECT_EQ(server.Stop(),
              "already listening: 0\n"
              "  ERROR : RpcServerListen returned [1713]\n"
              "ready\n"
              "  ERROR : RpcServerUnregisterIf UpdateRpc returned [1717]\n"
              "stopped\n");
}

TEST(RpcEndpointGuard, SecondServerOnTheSameEndpointIsRefusedOneOfAnotherAccountIgnored) {
    // No backslash reaches the object name, and distinct endpoints never share a guard.
    EXPECT_EQ(EndpointListenerGuard::GuardName(L"a\\b%c"), L"Local\\kxclient-rpc-listener-a%5Cb%25c");
    EXPECT_NE(EndpointListenerGuard::GuardName(L"a\\b"), EndpointListenerGuard::GuardName(L"a%5Cb"));

    const std::wstring endpoint = UniqueEndpoint(L"guard");
    TestServer first(endpoint);
    ASSERT_TRUE(first.Ready()) << first.Output();
    {
        TestServer second(endpoint);
        ASSERT_TRUE(second.Ready()) << second.Output();
        const std::string refusal = "  ERROR : RPC endpoint [" + std::string(endpoint.begin(), endpoint.end()) +
                                    "] refused: another server already listens on it\n";
        EXPECT_NE(second.Stop().find(refusal), std::string::npos) << second.Output();
    }
    EXPECT_EQ(UpdateRpcClient(endpoint).Call(L"still first").reply.value_or(L"<none>"), L"still first");
    EXPECT_EQ(first.Stop().find("ERROR"), std::string::npos);

    // A guard another account took first keeps no server from listening.
    Base::UniqueLocalMemory foreign;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:SYD:(A;;GA;;;WD)", SDDL_REVISION_1, foreign.Put(), nullptr);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), foreign.Get(), FALSE};
    const std::wstring name = EndpointListenerGuard::GuardName(endpoint.c_str());
    const Base::UniqueHandle taken(CreateMutexW(&attributes, FALSE, name.c_str()));
    TestServer third(endpoint);
    ASSERT_TRUE(third.Ready());
    EXPECT_EQ(UpdateRpcClient(endpoint).Call(L"third").reply.value_or(L"<none>"), L"third");
    EXPECT_EQ(third.Stop().find("ERROR"), std::string::npos);
}

}  // namespace
