// 1234 concurrent calls (the runtime's limit) from threads of this process.
// Wine's runtime serves at most 500 at once (its thread pool's limit; Windows
// serves all 1234), so the test server holds every call until 400 are inside
// it together: that many are surely in flight at once, and every call must
// still come back with its own reply.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "rpc_test_processes.h"
#include "update_rpc_client.h"

TEST(RpcLoad, AllConcurrentCallsAreAnsweredWithTheirOwnReply) {
    RpcTesting::TestServer server(RpcTesting::UniqueEndpoint(L"load"), L"--hold 400");
    ASSERT_TRUE(server.Ready()) << server.Output();
    const UpdateRpcClient client(server.Endpoint());
    std::atomic<int> answered{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 1234; ++t) {
        threads.emplace_back([&, t] {
            // Each request is unique; some are long.
            const std::wstring request = L"call-" + std::to_wstring(t) + std::wstring(t % 7 * 100, L'\x263A');
            const UpdateRpcCallResult result = client.Call(request);
            if (result.status == 0 && result.reply == request) ++answered;
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(answered.load(), 1234);
    EXPECT_EQ(server.Stop().find("ERROR"), std::string::npos);
}
