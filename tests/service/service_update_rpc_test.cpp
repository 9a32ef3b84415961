#include <gtest/gtest.h>

#include <windows.h>

#include "support/child_process.h"
#include "support/event_capture.h"
#include "support/installed_service.h"
#include "support/worker_cleanup.h"
#include "tools/kxupdate/update_instruction.h"
#include "tools/kxupdate/update_rpc_client.h"

namespace {

std::wstring Kxupdate(const std::wstring& arguments) {
    return L"\"" + Testing::TestBinaryFolder() + L"\\..\\kxupdate.exe\" " + arguments;
}

// True once the endpoint answers a call.
bool Answers(const wchar_t* endpoint) {
    const UpdateRpcClient client(endpoint);
    return Testing::WaitUntil([&] { return client.Call(L"{}").status == 0; }, 10000);
}

}  // namespace

TEST(ServiceUpdateRpc, AnswersTheThreeInstructionsThroughKxupdate) {
    Testing::WorkerCleanup workers;
    Testing::InstalledService service(L"\"" + Testing::ServiceExecutable() + L"\" -service");
    ASSERT_EQ(service.Start(), 0u);
    ASSERT_TRUE(Answers(kServiceRpcEndpoint));

    auto query = Testing::RunToEnd(Kxupdate(L"query"));
    EXPECT_EQ(query.exitCode, 0u);
    EXPECT_EQ(query.output, "no reply\n");  // no update was begun

    auto begin = Testing::RunToEnd(Kxupdate(L"begin --url http://127.0.0.1:9/kx.msi --args /quiet"));
    EXPECT_EQ(begin.exitCode, 0u);
    EXPECT_EQ(begin.output, "{\"data\":{\"status\":0}}\n");

    // Nothing listens on the discard port: the download fails and so does the update.
    auto watch = Testing::RunToEnd(Kxupdate(L"watch"), 120000);
    EXPECT_NE(watch.output.find("Failed: Failed to connect to url"), std::string::npos)
        << watch.output;

    auto launch = Testing::RunToEnd(Kxupdate(L"launch"));
    EXPECT_EQ(launch.exitCode, 0u);
    ASSERT_TRUE(Testing::WaitForWorker(10000));
    ASSERT_TRUE(Answers(kWorkerRpcEndpoint));
    // The worker has no update of its own.
    EXPECT_FALSE(UpdateRpcClient(kWorkerRpcEndpoint).Call(QueryInstruction()).reply.has_value());
    EXPECT_EQ(Testing::WorkerProcessIds().size(), 1u);
}
