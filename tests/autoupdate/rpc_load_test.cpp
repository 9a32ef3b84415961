// 1234 calls in flight at once (the runtime's limit of concurrent calls),
// from threads of three client processes, against one test server process.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "rpc_test_processes.h"

namespace {

TEST(RpcLoad, AllConcurrentCallsAreAnsweredWithTheirOwnReply) {
    RpcTesting::TestServer server(RpcTesting::UniqueEndpoint(L"load"));
    ASSERT_TRUE(server.Ready()) << server.Output();
    const std::wstring goName = L"Local\\kx-rpc-load-go-" + std::to_wstring(GetCurrentProcessId());
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, goName.c_str());
    ASSERT_NE(go, nullptr);

    const int threads[] = {412, 411, 411};  // 1234 threads, one call each
    std::vector<std::unique_ptr<Testing::ChildProcess>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<Testing::ChildProcess>(
            RpcTesting::TestExe(L"rpc_load_client.exe") + L" " + server.Endpoint() + L" " +
            std::to_wstring(threads[i]) + L" 1 p" + std::to_wstring(i) + L" " + goName));
        ASSERT_TRUE(clients.back()->Started());
    }
    Sleep(500);  // let the clients create their threads; they all wait for the event
    SetEvent(go);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(clients[i]->Wait(240000), 0u);
        EXPECT_EQ(clients[i]->Output(), "answered " + std::to_string(threads[i]) + " wrong 0 failed 0\n");
    }
    CloseHandle(go);
    EXPECT_EQ(server.Stop().find("ERROR"), std::string::npos);
}

}  // namespace
