// The worker process end to end: the launch instruction copies the running
// executable into the download cache and starts it with "-autoupdate"; the
// worker's main loop ends once the update task has ended; a process that
// ends while an update runs ends promptly.
//
// Here the running executable is this test program, so its copy must act as
// a worker: a global environment notices the worker's name and command line
// and runs the real worker mode of ServiceHost instead of the tests.

#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <string>
#include <vector>

#include "autoupdate/download_cache.h"
#include "autoupdate/worker_process.h"
#include "base/log.h"
#include "instruction_helpers.h"
#include "service/service_host.h"
#include "support/child_process.h"
#include "support/worker_cleanup.h"
#include "support/event_capture.h"

using Testing::Dispatch;
using Testing::WaitForWorker;
using Testing::WorkerCleanup;
using Testing::WorkerProcessIds;

namespace {

std::wstring Lower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towlower(c); });
    return text;
}

std::wstring OwnPath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

const wchar_t kWorkerReadyEvent[] = L"kxclient-test-worker-ready";

class WorkerImpersonation : public ::testing::Environment {
public:
    void SetUp() override {
        const std::wstring self = Lower(OwnPath());
        const std::wstring name = Lower(kWorkerFileName);
        const bool isWorkerCopy = self.size() >= name.size() && self.compare(self.size() - name.size(), name.size(), name) == 0;
        if (!isWorkerCopy || Lower(GetCommandLineW()).find(L"-autoupdate") == std::wstring::npos) return;
        // Tell a waiting test that this copy runs as the worker.
        if (HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, kWorkerReadyEvent)) {
            SetEvent(ready);
            CloseHandle(ready);
        }
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
    WorkerCleanup cleanup;
    ASSERT_TRUE(WorkerProcessIds().empty());
    // The worker inherits this; it must stay until the test ends it.
    SetEnvironmentVariableW(L"KX_WORKER_POLL_MS", L"30000");
    {
        // A truncation error left over from an earlier call is not this call's.
        std::wstring copied;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        EXPECT_TRUE(CopyToWorker(copied));
    }
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, kWorkerReadyEvent);
    ASSERT_NE(ready, nullptr);
    Testing::EventCapture capture;

    const auto reply = Dispatch(LR"({"id":"launchAutoUpdate","data":{"ignored":true}})");
    EXPECT_FALSE(reply.present);
    EXPECT_TRUE(capture.Contains(L"Handling launch instruction"));
    EXPECT_TRUE(capture.Contains(L"Handling a launch auto update instruction"));
    DownloadCache cache;
    const std::wstring workerPath = cache.Folder() + kWorkerFileName;
    EXPECT_EQ(cache.Folder().substr(cache.Folder().size() - 31), L"\\Veltrastone\\Client\\AutoUpdate\\");
    EXPECT_TRUE(capture.Contains(L"Copied [" + OwnPath() + L"] to [" + workerPath + L"]"));
    EXPECT_TRUE(capture.Contains(L"Scheduled [" + workerPath + L"] for deletion on reboot"));
    EXPECT_TRUE(capture.Contains(L"Attempting to respawn service as a standalone process [" + workerPath + L"]"));
    EXPECT_TRUE(capture.Contains(L"Auto update will be respawned as a standalone process"));
    EXPECT_NE(GetFileAttributesW(workerPath.c_str()), INVALID_FILE_ATTRIBUTES);
    ASSERT_TRUE(WaitForWorker(20000));
    EXPECT_EQ(WorkerProcessIds().size(), 1u);
    EXPECT_EQ(WaitForSingleObject(ready, 20000), WAIT_OBJECT_0);
    CloseHandle(ready);

    capture.Clear();
    RespawnWorker();
    EXPECT_TRUE(capture.Contains(L"Reusing existing worker process"));
    EXPECT_FALSE(capture.Contains(L"Auto update will be respawned as a standalone process"));
    EXPECT_EQ(WorkerProcessIds().size(), 1u);
}

TEST(WorkerProcess, WorkerModeWithoutInstructionsEndsByItself) {
    const auto result = Testing::RunToEnd(L"\"" + Testing::ServiceExecutable() + L"\" -autoupdate -v", 60000,
                                          L"KX_WORKER_POLL_MS=100");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_NE(result.output.find("   INFO : Veltrastone Client Auto Update process listening for instructions...\n"), std::string::npos)
        << result.output;
    const auto query = result.output.find("   INFO : Querying work in progress...\n");
    const auto completed = result.output.find("   INFO : Veltrastone Client Auto Update process completed\n");
    ASSERT_NE(query, std::string::npos) << result.output;
    ASSERT_NE(completed, std::string::npos) << result.output;
    EXPECT_LT(query, completed);
}

TEST_F(WorkerLoop, EndsOnlyAfterTheUpdateTaskHasEnded) {
    SetEnvironmentVariableW(L"KX_UPDATE_PAUSE_MS", L"1000");
    SetEnvironmentVariableW(L"KX_WORKER_POLL_MS", L"50");
    Testing::EventCapture capture;
    ASSERT_TRUE(Dispatch(LR"({"id":"beginAutoUpdate","data":{"urls":["http://127.0.0.1:9/"],"hash":"","args":""}})")
                    .present);
    {
        ServiceHost host;
        host.Run(L"kxclient_service.exe -autoupdate");
    }
    Base::Testing::SetConsoleOutput(0, 3);
    SetEnvironmentVariableW(L"KX_WORKER_POLL_MS", nullptr);
    EXPECT_EQ(QueryControllerProgress(), ControllerProgress::Finished);
    const auto messages = capture.Messages();
    const auto failed = std::find(messages.begin(), messages.end(), L"Update controller failed to download and validate binary.");
    const auto completed = std::find(messages.begin(), messages.end(), L"Veltrastone Client Auto Update process completed");
    ASSERT_NE(failed, messages.end());
    ASSERT_NE(completed, messages.end());
    EXPECT_LT(failed, completed);
    EXPECT_GE(Testing::CountOf(messages, L"Querying work in progress..."), 1u);
}

// Run as a child by the next test: returns from main while the update task
// sits in its final pause.
TEST(WorkerChild, DISABLED_ReturnsFromMainDuringAnUpdate) {
    ASSERT_TRUE(Dispatch(LR"({"id":"beginAutoUpdate","data":{"urls":["http://127.0.0.1:9/"],"hash":"","args":""}})")
                    .present);
    std::wstring text;
    for (int i = 0; i < 4000 && text.find(L"\"status\":3") == std::wstring::npos; ++i) {
        Sleep(5);
        text = Dispatch(Testing::kQuery).text;
    }
    ASSERT_NE(text.find(L"\"status\":3"), std::wstring::npos);
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
