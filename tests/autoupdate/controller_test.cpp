// The update controller driven through begin and query instructions: its
// status walk, its pauses, its handling of failures it does not expect,
// begins that arrive together, and its install phase with a real installer
// in the download cache (WorkerUpdate, which shares the cache with the
// worker tests and so never runs beside them).

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "autoupdate/download_cache.h"
#include "autoupdate/download_validation.h"
#include "base/exception.h"
#include "base/text.h"
#include "installer_fixtures.h"
#include "instruction_helpers.h"
#include "support/event_capture.h"

using Testing::Dispatch;
using Testing::kQuery;

namespace {

class Controller : public Testing::UpdateProcessTest {};

const wchar_t kTwoUrlBegin[] =
    LR"({"id":"beginAutoUpdate","data":{"urls":["http://127.0.0.1:9/first.exe","http://127.0.0.1:9/second.exe"],)"
    LR"("hash":"","args":""}})";

bool ThrowLibraryError(const std::wstring&, const std::wstring&) {
    throw std::runtime_error("FileSource: cannot open file for reading");
}
bool ThrowSomethingElse(const std::wstring&, const std::wstring&) { throw 42; }

// Stands in for the server: every download yields this file.
std::wstring deliveredInstaller;
bool DeliverInstaller(const std::wstring&, const std::wstring& path) {
    return CopyFileW(deliveredInstaller.c_str(), path.c_str(), FALSE) != FALSE;
}

class WorkerUpdate : public Testing::UpdateProcessTest {
protected:
    void TearDown() override {
        SetEnvironmentVariableW(L"KX_INSTALLER_WAIT_MS", nullptr);
        UpdateProcessTest::TearDown();
    }
};

}  // namespace

TEST_F(Controller, TwoFailingUrlsAreTriedInOrderAndEndInFailed) {
    Testing::EventCapture capture;
    ASSERT_EQ(Dispatch(kTwoUrlBegin).text, LR"({"data":{"status":0}})");
    ASSERT_TRUE(Testing::WaitForUpdateTask());
    EXPECT_EQ(Dispatch(kQuery).text,
              LR"({"data":{"status":3,"errorMessage":"Failed to connect to url"}})");

    const auto messages = capture.Messages();
    const auto position = [&](const std::wstring& text) {
        return std::find(messages.begin(), messages.end(), text) - messages.begin();
    };
    const auto end = static_cast<ptrdiff_t>(messages.size());
    const auto firstTry = position(L"Attempting download using the following url: [http://127.0.0.1:9/first.exe]");
    const auto firstFail = position(L"Failed to obtain valid binary from the following url: [http://127.0.0.1:9/first.exe]");
    const auto secondTry = position(L"Attempting download using the following url: [http://127.0.0.1:9/second.exe]");
    const auto finalFail = position(L"Update controller failed to download and validate binary.");
    ASSERT_LT(firstTry, firstFail);
    ASSERT_LT(firstFail, secondTry);
    ASSERT_LT(secondTry, finalFail);
    ASSERT_LT(finalFail, end);
    // The last url's failure has no per-url line.
    EXPECT_FALSE(capture.Contains(
        L"Failed to obtain valid binary from the following url: [http://127.0.0.1:9/second.exe]"));
    EXPECT_EQ(Testing::CountOf(messages, L"Beginning download"), 2u);
    EXPECT_EQ(Testing::CountOf(messages, L"Completed download"), 0u);
    EXPECT_FALSE(capture.Contains(L"Beginning install"));
    // Without a hash each cache file is named after the url's hash.
    EXPECT_TRUE(capture.Contains(L"No hash provided from policy.  Using hash of url as as the filename"));
}

TEST_F(Controller, HashNamesTheCacheFileAsGiven) {
    Testing::EventCapture capture;
    ASSERT_TRUE(Dispatch(LR"({"id":"beginAutoUpdate","data":{"urls":["http://h/"],"hash":"abcDEF","args":""}})").present);
    ASSERT_TRUE(Testing::WaitForUpdateTask());
    EXPECT_TRUE(capture.Contains(L"A hash has been provided from policy.  Using this as the filename"));
    bool named = false;
    for (const auto& message : capture.Messages()) {
        named |= message.rfind(L"Filename will be: [", 0) == 0 && message.size() > 12 &&
                 message.compare(message.size() - 12, 12, L"\\abcDEF.exe]") == 0;
    }
    EXPECT_TRUE(named);
}

TEST_F(Controller, FinalStatusIsVisibleDuringThePauseBeforeTheTaskEnds) {
    SetEnvironmentVariableW(L"KX_UPDATE_PAUSE_MS", L"3000");
    ASSERT_TRUE(Dispatch(kTwoUrlBegin).present);
    std::wstring text;
    for (int i = 0; i < 6000 && text.find(L"\"status\":3") == std::wstring::npos; ++i) {
        Sleep(5);
        text = Dispatch(kQuery).text;
    }
    ASSERT_NE(text.find(L"\"status\":3"), std::wstring::npos);
    EXPECT_EQ(QueryControllerProgress(), ControllerProgress::Running);
    ASSERT_TRUE(Testing::WaitForUpdateTask());
    EXPECT_EQ(QueryControllerProgress(), ControllerProgress::Finished);
}

TEST_F(Controller, PauseDefaultsToFiveSeconds) {
    SetEnvironmentVariableW(L"KX_UPDATE_PAUSE_MS", nullptr);
    EXPECT_EQ(FinalPauseMs(), 5000u);
    SetEnvironmentVariableW(L"KX_UPDATE_PAUSE_MS", L"25");
    EXPECT_EQ(FinalPauseMs(), 25u);
}

TEST_F(Controller, AFailureOfAnotherKindStillEndsInFailedWithItsText) {
    Testing::EventCapture capture;
    UpdateTesting::SetDownloadHook(&ThrowLibraryError);
    ASSERT_TRUE(Dispatch(kTwoUrlBegin).present);
    ASSERT_TRUE(Testing::WaitForUpdateTask());
    EXPECT_EQ(Dispatch(kQuery).text,
              LR"({"data":{"status":3,"errorMessage":"FileSource: cannot open file for reading"}})");
    EXPECT_TRUE(capture.Contains(
        L"Update controller stopped by an unexpected failure error [FileSource: cannot open file for reading]"));
    // Not a step failure: the second url is not tried.
    EXPECT_FALSE(capture.Contains(L"Attempting download using the following url: [http://127.0.0.1:9/second.exe]"));

    UpdateTesting::ResetController();
    UpdateTesting::SetDownloadHook(&ThrowSomethingElse);
    ASSERT_TRUE(Dispatch(kTwoUrlBegin).present);
    ASSERT_TRUE(Testing::WaitForUpdateTask());
    EXPECT_EQ(Dispatch(kQuery).text, LR"({"data":{"status":3,"errorMessage":"Update failed with an unknown error"}})");
}

TEST_F(Controller, BeginWithoutDataRunsWithoutUrlsAndFails) {
    Testing::EventCapture capture;
    EXPECT_EQ(Dispatch(LR"({"id":"beginAutoUpdate"})").text, LR"({"data":{"status":0}})");
    ASSERT_TRUE(Testing::WaitForUpdateTask());
    EXPECT_EQ(Dispatch(kQuery).text, LR"({"data":{"status":3,"errorMessage":"No download url was provided"}})");
    EXPECT_TRUE(capture.Contains(L"Update controller failed to download and validate binary."));
}

TEST_F(Controller, BeginsArrivingTogetherStartExactlyOneTask) {
    for (int round = 0; round < 5; ++round) {
        UpdateTesting::ResetController();
        Testing::EventCapture capture;
        constexpr int kThreads = 32;
        std::atomic<int> ready{0};
        std::atomic<bool> go{false};
        std::vector<std::wstring> replies(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                ++ready;
                while (!go.load()) std::this_thread::yield();
                replies[t] = Dispatch(t % 4 == 3 ? std::wstring(kQuery) : std::wstring(kTwoUrlBegin)).text;
            });
        }
        while (ready.load() < kThreads) std::this_thread::yield();
        go = true;
        for (auto& thread : threads) thread.join();
        ASSERT_TRUE(Testing::WaitForUpdateTask());

        const auto messages = capture.Messages();
        const size_t begins = kThreads - kThreads / 4;
        EXPECT_EQ(Testing::CountOf(messages, L"No controller - creating new controller thread"), 1u);
        EXPECT_EQ(Testing::CountOf(messages, L"Controller already exists"), begins - 1);
        // One task walked the url list once.
        EXPECT_EQ(Testing::CountOf(messages, L"Update controller failed to download and validate binary."), 1u);
        for (int t = 0; t < kThreads; ++t) {
            if (t % 4 != 3) {
                EXPECT_EQ(replies[t].rfind(LR"({"data":{"status":)", 0), 0u) << replies[t];
            }
        }
    }
}

TEST_F(WorkerUpdate, OnlyAcceptedExitCodesEndInCompletedWithACleanCache) {
    deliveredInstaller = Testing::InstallerFixture(L"test_installer.exe");
    std::wstring hash;
    Sha256OfFile(deliveredInstaller, L"", hash);
    const std::wstring wrongHash(64, L'0');
    UpdateTesting::SetDownloadHook(&DeliverInstaller);
    const DownloadCache cache;
    // The installer runs in the cache folder: its record lands there.
    const std::wstring record = cache.Folder() + L"record.txt";
    struct Case {
        const wchar_t* args;
        const wchar_t* waitMs;
        const std::wstring& hash;
        bool downgrade;
        int32_t status;
        std::string error;
    };
    const Case cases[] = {
        {L"--exit-code=0", nullptr, hash, false, Completed, ""},
        {L"--exit-code=3010", nullptr, hash, false, Completed, ""},
        {L"--exit-code=1641", nullptr, hash, false, Completed, ""},
        {L"--exit-code=0", nullptr, hash, true, Completed, ""},
        {L"--exit-code=1603", nullptr, hash, false, Failed, AutoUpdateException("Installation failed.", 1603).what()},
        {L"--sleep-ms=60000", L"300", hash, false, Failed, AutoUpdateException("Installation failed.", 259).what()},
        {L"--exit-code=0", nullptr, wrongHash, false, Failed,
         "Binary failed Sha256 validation. Hash [" + ToNarrow(wrongHash) + "] does not match computed hash [" +
             ToNarrow(hash) + "]."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << ToNarrow(c.args) << (c.downgrade ? " downgrade" : ""));
        const std::wstring args = std::wstring(c.args) + L" --record=record.txt";
        SetEnvironmentVariableW(L"KX_INSTALLER_WAIT_MS", c.waitMs);
        UpdateTesting::ResetController();
        Testing::EventCapture capture;
        ASSERT_TRUE(Dispatch(LR"({"id":"beginAutoUpdate","data":{"urls":["http://127.0.0.1:9/setup.exe"],"hash":")" +
                             c.hash + LR"(","args":")" + args + LR"(","downgrade":)" +
                             (c.downgrade ? L"true" : L"false") + L"}}")
                        .present);
        ASSERT_TRUE(Testing::WaitForUpdateTask());
        UpdateResponse progress;
        {
            std::lock_guard<std::mutex> lock(controllerLock);
            progress = currentController.load()->ProgressLocked();
        }
        EXPECT_EQ(progress.status, c.status);
        EXPECT_EQ(ToNarrow(progress.errorMessage), c.error);

        const std::wstring installer = cache.Folder() + c.hash + L".exe";
        const auto runs = Testing::ReadInstallerRecord(record);
        Testing::TerminateRecordedInstallers(record);
        ASSERT_EQ(runs.size(), &c.hash == &hash ? 1u : 0u);
        if (!runs.empty()) {
            EXPECT_EQ(runs[0].commandLine, installer + L" /quiet /norestart " + args);
            EXPECT_EQ(runs[0].folder + L"\\", cache.Folder());
        }
        if (c.status == Completed) {
            WIN32_FIND_DATAW entry;
            const HANDLE executables = FindFirstFileW((cache.Folder() + L"*.exe").c_str(), &entry);
            EXPECT_EQ(executables, INVALID_HANDLE_VALUE);
            if (executables != INVALID_HANDLE_VALUE) FindClose(executables);
        }
        const auto messages = capture.Messages();
        const auto position = [&](const wchar_t* text) { return std::find(messages.begin(), messages.end(), text); };
        EXPECT_EQ(position(L"Beginning uninstall") < position(L"Beginning install"), c.downgrade);
        DeleteFileW(installer.c_str());
        DeleteFileW(record.c_str());
    }
}
