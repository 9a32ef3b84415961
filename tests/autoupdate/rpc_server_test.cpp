// UpdateRpcServer's registration steps and their trace, in this process, and
// its single-listener guard across processes.

#include <gtest/gtest.h>

#include <vector>

#include "autoupdate/endpoint_listener_guard.h"
#include "autoupdate/update_rpc_server.h"
#include "rpc_test_processes.h"
#include "support/event_capture.h"
#include "update_rpc_client.h"

namespace {

using RpcTesting::TestServer;
using RpcTesting::UniqueEndpoint;

// Longer than ncalrpc accepts: the runtime refuses it with 1720. Its listener
// guard is still taken, so each test process has a name of its own.
const std::wstring kTooLongEndpoint = [] {
    std::wstring name = L"too-long-" + std::to_wstring(GetCurrentProcessId()) + L"-";
    return name + std::wstring(300 - name.size(), L'x');
}();

std::vector<std::wstring> ServerLines(const Testing::EventCapture& capture) {
    std::vector<std::wstring> lines;
    for (const std::wstring& line : capture.Messages())
        if (line.rfind(L"RPC endpoint guard", 0) != 0) lines.push_back(line);
    return lines;
}

// The runtime listens once per process here: StopListening does not wait for
// the listen to end (no RpcMgmtWaitServerListen), so a later RpcServerListen in
// the same process gets 1713. Only this case listens in the test process.
TEST(RpcServerListening, StartAndStopWriteTheirLinesAndServeInBetween) {
    const std::wstring endpoint = UniqueEndpoint(L"inproc");
    Testing::EventCapture capture;
    UpdateRpcServer server;
    server.StartListening(endpoint.c_str());
    EXPECT_EQ(ServerLines(capture), (std::vector<std::wstring>{L"Entering RPC StartListening", L"Exiting RPC StartListening"}));

    // Served by this process: a query before any begin has no reply.
    UpdateRpcClient client(endpoint);
    const UpdateRpcCallResult result = client.Call(L"{\"id\":\"queryAutoUpdateProgress\"}");
    EXPECT_EQ(result.status, 0u);
    EXPECT_FALSE(result.reply.has_value());

    // A second start while listening is refused by the guard and changes nothing.
    capture.Clear();
    server.StartListening(endpoint.c_str());
    EXPECT_EQ(ServerLines(capture), (std::vector<std::wstring>{L"Entering RPC StartListening",
                                                               L"RPC endpoint [" + endpoint + L"] refused: this server already listens"}));
    EXPECT_EQ(client.Call(L"again").status, 0u);

    capture.Clear();
    server.StopListening();
    EXPECT_EQ(ServerLines(capture), (std::vector<std::wstring>{L"Entering RPC StopListening", L"Exiting RPC StopListening"}));
}

// A refused endpoint leaves nothing registered and frees its guard; a stop
// afterwards logs the failed unregistration and still writes its EXIT line.
TEST(RpcServerListening, RefusedOrMissingEndpointIsLoggedAndStopStillEnds) {
    Testing::EventCapture capture;
    UpdateRpcServer server;
    server.StartListening(kTooLongEndpoint.c_str());
    EXPECT_EQ(ServerLines(capture),
              (std::vector<std::wstring>{L"Entering RPC StartListening", L"RpcServerUseProtseqEp returned [1720]"}));
    capture.Clear();
    server.StopListening();
    EXPECT_EQ(ServerLines(capture),
              (std::vector<std::wstring>{L"Entering RPC StopListening", L"RpcServerUnregisterIf UpdateRpc returned [1717]",
                                         L"Exiting RPC StopListening"}));
    EXPECT_TRUE(EndpointListenerGuard().Acquire(kTooLongEndpoint.c_str()));
    server.StartListening(nullptr);
    EXPECT_TRUE(capture.Contains(L"RPC StartListening: no endpoint name"));
}

// RpcServerListen fails (1713) in a process that already listens: the interface
// is unregistered again and the bindings freed, so calls are refused as for an
// unknown interface and StopListening has no endpoint mapping left to undo.
TEST(RpcServerListening, FailedListenUndoesTheRegistration) {
    TestServer server(UniqueEndpoint(L"listenfails"), L"--log 6 --already-listening yes");
    ASSERT_TRUE(server.Ready()) << server.Output();
    const UpdateRpcCallResult result = UpdateRpcClient(server.Endpoint()).Call(L"hello");
    EXPECT_EQ(result.status, static_cast<unsigned long>(RPC_S_UNKNOWN_IF));
    EXPECT_FALSE(result.reply.has_value());
    EXPECT_EQ(server.Stop(),
              "already listening: 0\n"
              "  ENTER : Entering RPC StartListening\n"
              "  ERROR : RpcServerListen returned [1713]\n"
              "ready\n"
              "  ENTER : Entering RPC StopListening\n"
              "  ERROR : RpcServerUnregisterIf UpdateRpc returned [1717]\n"
              "   EXIT : Exiting RPC StopListening\n"
              "stopped\n");
}

TEST(RpcEndpointGuard, NamesEscapeBackslashAndPercent) {
    EXPECT_EQ(EndpointListenerGuard::GuardName(L"a\\b%c"), L"Local\\kxclient-rpc-listener-a%5Cb%25c");
    EXPECT_NE(EndpointListenerGuard::GuardName(L"a\\b"), EndpointListenerGuard::GuardName(L"a%5Cb"));
}

TEST(RpcEndpointGuard, SecondServerOnTheSameEndpointIsRefused) {
    const std::wstring endpoint = UniqueEndpoint(L"guard");
    TestServer first(endpoint);
    ASSERT_TRUE(first.Ready()) << first.Output();
    {
        TestServer second(endpoint);
        ASSERT_TRUE(second.Ready()) << second.Output();
        const std::string output = second.Stop();
        const std::string refusal = "  ERROR : RPC endpoint [" + std::string(endpoint.begin(), endpoint.end()) +
                                    "] refused: another server already listens on it\n";
        EXPECT_NE(output.find(refusal), std::string::npos) << output;
    }
    // The first server still answers.
    EXPECT_EQ(UpdateRpcClient(endpoint).Call(L"still first").reply.value_or(L"<none>"), L"still first");
    EXPECT_EQ(first.Stop().find("ERROR"), std::string::npos);

    // Once the first has stopped, the endpoint can be served again.
    TestServer third(endpoint);
    ASSERT_TRUE(third.Ready());
    EXPECT_EQ(UpdateRpcClient(endpoint).Call(L"third").reply.value_or(L"<none>"), L"third");
    EXPECT_EQ(third.Stop().find("ERROR"), std::string::npos);
}

}  // namespace
