// The update controller driven through begin and query instructions: its
// status walk with the steps this build has, its pauses, its handling of
// failures it does not expect, and begins that arrive together.

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "instruction_helpers.h"
#include "support/event_capture.h"

using Testing::Dispatch;
using Testing::kQuery;

namespace {

class Controller : public Testing::UpdateProcessTest {};

const wchar_t kTwoUrlBegin[] =
    LR"({"id":"beginAutoUpdate","data":{"urls":["http://127.0.0.1:9/first.exe","http://127.0.0.1:9/second.exe"],)"
    LR"("hash":"","args":""}})";

void ThrowLibraryError(const std::wstring&) { throw std::runtime_error("FileSource: cannot open file for reading"); }
void ThrowSomethingElse(const std::wstring&) { throw 42; }

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
