// The worker process end to end: the launch instruction copies the running
// executable into the download cache and starts it with "-autoupdate"; the
// worker's loop ends once the update task has ended, or promptly with its
// process. The running executable is this test program: a global environment
// makes its worker copy run ServiceHost's real worker mode instead of tests.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cwchar>
#include <string>
#include <thread>

#include "autoupdate/download_cache.h"
#include "autoupdate/worker_process.h"
#include "base/file_info.h"
#include "base/log.h"
#include "base/unique_any.h"
#include "instruction_helpers.h"
#include "service/service_host.h"
#include "support/child_process.h"
#include "support/wait_until.h"
#include "support/worker_cleanup.h"

using Testing::Dispatch;
using Testing::WorkerProcessIds;

namespace {

std::wstring OwnPath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

const wchar_t kWorkerReadyEvent[] = L"kxclient-test-worker-ready";
const wchar_t kFailingBegin[] = LR"({"id":"beginAutoUpdate","data":{"urls":["http://127.0.0.1:9/"],"hash":"","args":""}})";

class WorkerImpersonation : public ::testing::Environment {
public:
    void SetUp() override {
        const std::wstring self = OwnPath();
        const bool isWorkerCopy = _wcsicmp(self.c_str() + self.find_last_of(L'\\') + 1, kWorkerFileName) == 0;
        if (!isWorkerCopy || wcsstr(GetCommandLineW(), L"-autoupdate") == nullptr) return;
        // Tell a waiting test that this copy runs as the worker.
        SetEvent(Base::UniqueHandle(OpenEventW(EVENT_MODIFY_STATE, FALSE, kWorkerReadyEvent)).Get());
        ServiceHost host;
        host.Run(GetCommandLineW());
        ExitProcess(0);
    }
};
[[maybe_unused]] ::testing::Environment* const workerImpersonation =
    ::testing::AddGlobalTestEnvironment(new WorkerImpersonation);

class WorkerLoop : public Testing::UpdateProcessTest {};

}  // namespace

TEST(WorkerProcess, LaunchStartsOneWorkerCopyAndReusesIt) {
    Testing::WorkerCleanup cleanup;
    ASSERT_TRUE(WorkerProcessIds().empty());
    // The worker inherits this; it must stay until the test ends it.
    SetEnvironmentVariableW(L"KX_WORKER_POLL_MS", L"30000");
    {
        // A truncation error left over from an earlier call is not this call's.
        std::wstring copied;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        EXPECT_TRUE(CopyToWorker(DownloadCache(), copied));
    }
    const Base::UniqueHandle ready(CreateEventW(nullptr, TRUE, FALSE, kWorkerReadyEvent));
    ASSERT_TRUE(ready);

    std::atomic<bool> go{false};
    const auto launch = [&go] { while (!go) std::this_thread::yield(); Dispatch(LR"({"id":"launchAutoUpdate"})"); };
    std::thread launches[] = {std::thread(launch), std::thread(launch), std::thread(launch), std::thread(launch)};
    go = true;
    for (auto& thread : launches) thread.join();
    EXPECT_EQ(WaitForSingleObject(ready.Get(), 20000), WAIT_OBJECT_0);
    ASSERT_TRUE(Testing::WaitForWorker(20000));
    RespawnWorker();
    EXPECT_EQ(WorkerProcessIds().size(), 1u);
}

TEST_F(WorkerLoop, EndsOnlyAfterTheUpdateTaskHasEnded) {
    SetEnvironmentVariableW(L"KX_UPDATE_PAUSE_MS", L"1000");
    SetEnvironmentVariableW(L"KX_WORKER_POLL_MS", L"50");
    ASSERT_TRUE(Dispatch(kFailingBegin).present);
    {
        ServiceHost host;
        host.Run(L"kxclient_service.exe -autoupdate");
    }
    Base::Testing::SetConsoleOutput(0, 3);
    SetEnvironmentVariableW(L"KX_WORKER_POLL_MS", nullptr);
    EXPECT_EQ(QueryControllerProgress(), ControllerProgress::Finished);
}

// Run as a child by the next test: returns from main while the update task
// sits in its final pause, its final status already visible.
TEST(WorkerChild, DISABLED_ReturnsFromMainDuringAnUpdate) {
    ASSERT_TRUE(Dispatch(kFailingBegin).present);
    ASSERT_TRUE(Testing::WaitUntil(
        [] { return Dispatch(Testing::kQuery).text.find(L"\"status\":3") != std::wstring::npos; }, 20000));
    ASSERT_EQ(QueryControllerProgress(), ControllerProgress::Running);
}

TEST(WorkerProcess, ProcessEndDuringAnUpdateDoesNotWaitForTheTask) {
    // The task pauses ten minutes; the child must end long before.
    const auto result = Testing::RunToEnd(
        L"\"" + OwnPath() +
            L"\" --gtest_also_run_disabled_tests --gtest_filter=WorkerChild.DISABLED_ReturnsFromMainDuringAnUpdate",
        120000, L"KX_UPDATE_PAUSE_MS=600000");
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    EXPECT_NE(result.output.find("[  PASSED  ] 1 test."), std::string::npos) << result.output;
}
