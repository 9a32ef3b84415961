// kxupdate.exe end to end against the echoing test server: since the server
// echoes every instruction, kxupdate prints exactly the JSON it sent.

#include <gtest/gtest.h>

#include "rpc_test_processes.h"
#include "support/scratch.h"

namespace {

using RpcTesting::KxUpdate;
using RpcTesting::TestServer;
using RpcTesting::UniqueEndpoint;

Testing::ProcessResult RunKxUpdate(const std::wstring& arguments, const std::wstring& environment = L"") {
    return Testing::RunToEnd(KxUpdate() + L" " + arguments, 60000, environment);
}

class KxUpdateTool : public RpcTesting::ServerSuite {
protected:
    static std::wstring At() { return L" --endpoint " + server->Endpoint(); }
};

TEST_F(KxUpdateTool, BeginSendsEveryOptionEscaped) {
    const auto result = RunKxUpdate(L"begin --url \"http://h/a b\\\"q\" --url http://h/2 --hash ABC --args \"/S \\x\" --downgrade"
                            L" --proxy p:8080 --proxy-bypass \"<local>\" --auto-config-url http://pac --no-auto-detect" + At());
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    EXPECT_EQ(result.output,
              "{\"id\":\"beginAutoUpdate\",\"data\":{\"urls\":[\"http://h/a b\\\"q\",\"http://h/2\"],\"hash\":\"ABC\","
              "\"args\":\"/S \\\\x\",\"downgrade\":true,\"proxy\":{\"autoDetect\":false,\"autoConfigUrl\":\"http://pac\","
              "\"proxy\":\"p:8080\",\"proxyBypass\":\"<local>\"}}}\n");
}

TEST_F(KxUpdateTool, BeginWithOnlyAUrlHasEmptyHashAndArgsAndNoProxy) {
    const auto result = RunKxUpdate(L"begin --url http://x/\u00fc" + At());
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, "{\"id\":\"beginAutoUpdate\",\"data\":{\"urls\":[\"http://x/\xC3\xBC\"],\"hash\":\"\","
                             "\"args\":\"\",\"downgrade\":false}}\n");
}

TEST_F(KxUpdateTool, QueryLaunchAndRawSend) {
    EXPECT_EQ(RunKxUpdate(L"query" + At()).output, "{\"data\":{\"status\":1}}\n");
    EXPECT_EQ(RunKxUpdate(L"launch" + At()).output, "{\"id\":\"launchAutoUpdate\"}\n");
    EXPECT_EQ(RunKxUpdate(L"send no-reply" + At()).output, "no reply\n");
    EXPECT_EQ(RunKxUpdate(L"send \"{\\\"id\\\":1}\"" + At()).output, "{\"id\":1}\n");

    Testing::ScratchFolder scratch;
    const std::wstring file = scratch.WriteFile(L"instruction.json", "\xEF\xBB\xBF{\"id\":\"\xE2\x82\xAC\"}");
    const auto fromFile = RunKxUpdate(L"send --file \"" + file + L"\"" + At());
    EXPECT_EQ(fromFile.exitCode, 0u);
    EXPECT_EQ(fromFile.output, "{\"id\":\"\xE2\x82\xAC\"}\n");
}

TEST(KxUpdateWatch, ShowsEachStatusUntilCompleted) {
    TestServer server(UniqueEndpoint(L"watch"), L"--progress 0,0,4,1,2");
    ASSERT_TRUE(server.Ready());
    const auto result = RunKxUpdate(L"watch --endpoint " + server.Endpoint(), L"KX_KXUPDATE_WATCH_MS=20");
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    const size_t downloading = result.output.find("] Downloading");
    const size_t uninstalling = result.output.find("] Uninstalling");
    const size_t installing = result.output.find("] Installing");
    const size_t completed = result.output.find("] Completed");
    ASSERT_NE(completed, std::string::npos) << result.output;
    EXPECT_LT(downloading, uninstalling);
    EXPECT_LT(uninstalling, installing);
    EXPECT_LT(installing, completed);
    EXPECT_EQ(result.output.back(), '\n');
}

TEST(KxUpdateWatch, FailedUpdateShowsItsErrorAndExitsThree) {
    TestServer server(UniqueEndpoint(L"watchfail"), L"--progress \"0,3:hash mismatch\"");
    ASSERT_TRUE(server.Ready());
    const auto result = RunKxUpdate(L"watch --endpoint " + server.Endpoint(), L"KX_KXUPDATE_WATCH_MS=20");
    EXPECT_EQ(result.exitCode, 3u);
    EXPECT_NE(result.output.find("] Failed: hash mismatch\n"), std::string::npos) << result.output;
}

TEST(KxUpdateNoServer, EveryCommandSaysSoAndExitsOne) {
    const std::wstring nobody = L" --endpoint " + UniqueEndpoint(L"nobody");
    for (const wchar_t* command : {L"query", L"launch", L"watch", L"send x", L"begin --url http://a"}) {
        const auto result = RunKxUpdate(command + nobody);
        EXPECT_EQ(result.exitCode, 1u) << result.output;
        EXPECT_NE(result.output.find("kxupdate: no UpdateRpc server listens on endpoint \"kx-test-nobody-"), std::string::npos)
            << result.output;
        EXPECT_NE(result.output.find(": 1722 ("), std::string::npos) << result.output;
    }
}

TEST(KxUpdateCommandLine, BadUsageIsRefusedWithExitTwo) {
    for (const wchar_t* arguments : {L"", L"frobnicate", L"begin", L"begin --url", L"query --bogus", L"send",
                                     L"send a b", L"send --file", L"query --endpoint", L"send --file C:\\no\\such.json"}) {
        const auto result = RunKxUpdate(arguments);
        EXPECT_EQ(result.exitCode, 2u) << std::string(arguments, arguments + wcslen(arguments));
        EXPECT_NE(result.output.find("kxupdate: "), std::string::npos);
        EXPECT_NE(result.output.find("usage: kxupdate"), std::string::npos);
    }
}

}  // namespace
