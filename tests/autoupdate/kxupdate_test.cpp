// kxupdate.exe end to end against the echoing test server: since the server
// echoes every instruction, kxupdate prints exactly the JSON it sent.

#include <gtest/gtest.h>

#include <vector>

#include "rpc_test_processes.h"
#include "support/scratch.h"

namespace {

using RpcTesting::TestServer;
using RpcTesting::UniqueEndpoint;

Testing::ProcessResult RunKxUpdate(const std::wstring& arguments, const std::wstring& environment = L"") {
    return Testing::RunToEnd(L"\"" + Testing::TestBinaryFolder() + L"\\..\\kxupdate.exe\" " + arguments, 60000,
                             environment);
}

class KxUpdateTool : public RpcTesting::ServerSuite {};

TEST_F(KxUpdateTool, EachCommandSendsItsInstructionAndPrintsTheReply) {
    Testing::ScratchFolder scratch;
    const std::wstring file = scratch.WriteFile(L"instruction.json", "\xEF\xBB\xBF{\"id\":\"\xE2\x82\xAC\"}");
    const struct {
        std::wstring arguments;
        std::string output;
    } cases[] = {
        {L"begin --url \"http://h/a b\\\"q\" --url http://h/2 --hash ABC --args \"/S \\x\" --downgrade --proxy p:8080"
         L" --proxy-bypass \"<local>\" --auto-config-url http://pac --no-auto-detect",
         "{\"id\":\"beginAutoUpdate\",\"data\":{\"urls\":[\"http://h/a b\\\"q\",\"http://h/2\"],\"hash\":\"ABC\","
         "\"args\":\"/S \\\\x\",\"downgrade\":true,\"proxy\":{\"autoDetect\":false,\"autoConfigUrl\":\"http://pac\","
         "\"proxy\":\"p:8080\",\"proxyBypass\":\"<local>\"}}}\n"},
        {L"begin --url http://x/\u00fc", "{\"id\":\"beginAutoUpdate\",\"data\":{\"urls\":[\"http://x/\xC3\xBC\"],"
                                         "\"hash\":\"\",\"args\":\"\",\"downgrade\":false}}\n"},
        {L"query", "{\"data\":{\"status\":1}}\n"},
        {L"launch", "{\"id\":\"launchAutoUpdate\"}\n"},
        {L"send no-reply", "no reply\n"},
        {L"send \"{\\\"id\\\":1}\"", "{\"id\":1}\n"},
        {L"send --file \"" + file + L"\"", "{\"id\":\"\xE2\x82\xAC\"}\n"},
    };
    for (const auto& c : cases) {
        const auto result = RunKxUpdate(c.arguments + L" --endpoint " + server->Endpoint());
        EXPECT_EQ(result.exitCode, 0u) << result.output;
        EXPECT_EQ(result.output, c.output);
    }
}

TEST(KxUpdateWatch, ShowsEachStatusUntilAFinalOneAndExitsWithIt) {
    const struct {
        const wchar_t* progress;
        DWORD exitCode;
        std::vector<const char*> lines;  // in this order
    } cases[] = {
        {L"0,0,4,1,2", 0, {"] Downloading", "] Uninstalling", "] Installing", "] Completed"}},
        {L"\"0,3:hash mismatch\"", 3, {"] Downloading", "] Failed: hash mismatch\n"}},
    };
    for (const auto& c : cases) {
        TestServer server(UniqueEndpoint(L"watch"), std::wstring(L"--progress ") + c.progress);
        ASSERT_TRUE(server.Ready());
        const auto result = RunKxUpdate(L"watch --endpoint " + server.Endpoint(), L"KX_KXUPDATE_WATCH_MS=20");
        EXPECT_EQ(result.exitCode, c.exitCode) << result.output;
        EXPECT_EQ(result.output.back(), '\n');
        size_t at = 0;
        for (const char* line : c.lines) {
            at = result.output.find(line, at);
            EXPECT_NE(at, std::string::npos) << line << " in " << result.output;
        }
    }
}

// Exit codes: 2 for a bad command line, 1 when no server listens.
TEST(KxUpdateCommandLine, BadUsageExitsTwoAndAMissingServerOne) {
    for (const wchar_t* arguments : {L"", L"frobnicate", L"begin", L"begin --url", L"query --bogus", L"send",
                                     L"send a b", L"send --file", L"query --endpoint", L"send --file C:\\no\\such.json"}) {
        const auto result = RunKxUpdate(arguments);
        EXPECT_EQ(result.exitCode, 2u) << result.output;
        EXPECT_NE(result.output.find("usage: kxupdate"), std::string::npos);
    }
    const std::wstring nobody = L" --endpoint " + UniqueEndpoint(L"nobody");
    for (const wchar_t* command : {L"query", L"launch", L"watch", L"send x", L"begin --url http://a"}) {
        const auto result = RunKxUpdate(command + nobody);
        EXPECT_EQ(result.exitCode, 1u) << result.output;
        EXPECT_NE(result.output.find("kxupdate: no UpdateRpc server listens on endpoint \"kx-test-nobody-"), std::string::npos)
            << result.output;
        EXPECT_NE(result.output.find(": 1722 ("), std::string::npos) << result.output;
    }
}

}  // namespace
