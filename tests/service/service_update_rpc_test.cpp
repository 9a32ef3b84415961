#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/installed_service.h"
#include "support/worker_cleanup.h"
#include "tools/kxupdate/update_rpc_client.h"

namespace {

std::wstring Kxupdate(const std::wstring& arguments) {
    return L"\"" + Testing::TestBinaryFolder() + L"\\..\\kxupdate.exe\" " + arguments;
}

// The installed service, running and answering on its endpoint.
class RunningService {
public:
    RunningService() : service(L"\"" + Testing::ServiceExecutable() + L"\" -service") {
        if (!service.Installed() || service.Start() != 0 || !service.WaitForState(SERVICE_RUNNING, 10000)) return;
        processId = service.Query().dwProcessId;
        const UpdateRpcClient client(kServiceRpcEndpoint);
        for (int i = 0; i < 200 && !listening; ++i) {
            listening = client.Call(L"{}").status == 0;
            if (!listening) Sleep(50);
        }
    }
    bool Listening() const { return listening; }
    DWORD ProcessId() const { return processId; }
    Testing::InstalledService service;

private:
    bool listening = false;
    DWORD processId = 0;
};

}  // namespace

TEST(ServiceUpdateRpc, AnswersTheThreeInstructionsThroughKxupdate) {
    Testing::WorkerCleanup workers;
    RunningService running;
    ASSERT_TRUE(running.Listening());

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
    const UpdateRpcClient worker(kWorkerRpcEndpoint);
    UpdateRpcCallResult answered;
    for (int i = 0; i < 200; ++i) {
        answered = worker.Call(L"{\"id\":\"queryAutoUpdateProgress\"}");
        if (answered.status == 0) break;
        Sleep(50);
    }
    EXPECT_EQ(answered.status, 0u);
    EXPECT_FALSE(answered.reply.has_value());  // the worker has no update of its own
    EXPECT_EQ(Testing::WorkerProcessIds().size(), 1u);
}

TEST(ServiceUpdateRpc, SurvivesAHundredThousandMalformedInstructions) {
    RunningService running;
    ASSERT_TRUE(running.Listening());
    const UpdateRpcClient client(kServiceRpcEndpoint);
    ASSERT_EQ(client.Call(L"{\"id\":\"beginAutoUpdate\",\"data\":{\"urls\":[],\"hash\":\"\",\"args\":\"\"}}").status,
              0u);

    const std::vector<std::wstring> seeds = {
        L"{\"id\":\"beginAutoUpdate\",\"data\":{\"urls\":[\"http://127.0.0.1:9/a\",7],\"hash\":\"AB\","
        L"\"args\":\"/q\",\"downgrade\":true,\"proxy\":{\"autoDetect\":false,\"proxy\":\"p:1\"}}}",
        L"{\"id\":\"queryAutoUpdateProgress\"}",
        L"[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[",
        L"{\"id\":1,\"data\":null}",
        L"\"\\ud800\\u0000\"",
    };
    const wchar_t alphabet[] = L"{}[]\":,\\ 0123456789abcdefnulltrue\u00e9" L"\xD83D" L"\xDE00" L"\xDFFF";
    std::atomic<int> failedCalls{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(1234 + t);
            for (int i = 0; i < 25000; ++i) {
                std::wstring text = seeds[random() % seeds.size()];
                const int edits = 1 + random() % 8;
                for (int e = 0; e < edits && !text.empty(); ++e) {
                    const size_t at = random() % text.size();
                    const wchar_t unit = alphabet[random() % (sizeof(alphabet) / sizeof(wchar_t) - 1)];
                    switch (random() % 4) {
                    case 0: text[at] = unit; break;
                    case 1: text.insert(text.begin() + at, unit); break;
                    case 2: text.erase(at, 1 + random() % 4); break;
                    default: text.resize(at); break;
                    }
                }
                text = text.substr(0, text.find(L'\0'));  // the wire carries NUL-terminated text
                if (text.find(L"launchAutoUpdate") != std::wstring::npos) continue;
                if (client.Call(text).status != 0) ++failedCalls;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failedCalls.load(), 0);

    const auto after = client.Call(L"{\"id\":\"queryAutoUpdateProgress\"}");
    ASSERT_EQ(after.status, 0u);
    ASSERT_TRUE(after.reply.has_value());
    EXPECT_EQ(after.reply->rfind(L"{\"data\":{\"status\":", 0), 0u);
    EXPECT_EQ(running.service.Query().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(running.service.Query().dwProcessId, running.ProcessId());
}
