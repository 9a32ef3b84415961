// 1234 concurrent calls (the runtime's limit), from threads of three client
// processes. Wine's runtime serves at most 500 at once (its thread pool's
// limit; Windows serves all 1234), so the test server holds every call until
// 400 are inside it together: that many are surely in flight at once, and
// every call must still come back with its own reply.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "rpc_test_processes.h"

TEST(RpcLoad, AllConcurrentCallsAreAnsweredWithTheirOwnReply) {
    RpcTesting::TestServer server(RpcTesting::UniqueEndpoint(L"load"), L"--hold 400");
    ASSERT_TRUE(server.Ready()) << server.Output();
    const int threads[] = {412, 411, 411};  // one call each
    std::vector<std::unique_ptr<Testing::ChildProcess>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<Testing::ChildProcess>(
            RpcTesting::TestExe(L"rpc_load_client.exe") + L" " + server.Endpoint() + L" " +
            std::to_wstring(threads[i]) + L" 1 p" + std::to_wstring(i)));
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(clients[i]->Wait(240000), 0u);
        EXPECT_EQ(clients[i]->Output(), "answered " + std::to_string(threads[i]) + " wrong 0 failed 0\n");
    }
    EXPECT_EQ(server.Stop().find("ERROR"), std::string::npos);
}
