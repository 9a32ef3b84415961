#pragma once
// In-process access to the instruction protocol as the RPC server uses it,
// and a fixture that gives each test a process without an update.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "autoupdate/update_controller.h"
#include "autoupdate/update_protocol.h"
#include "support/wait_until.h"

namespace Testing {

struct Reply {
    bool present;
    std::wstring text;
};

inline Reply Dispatch(const std::wstring& request) {
    wchar_t* response = nullptr;
    DispatchInstruction(request.c_str(), &response);
    Reply reply{response != nullptr, response ? response : L""};
    free(response);
    return reply;
}

// True when the controller task ended within the time limit.
inline bool WaitForUpdateTask(DWORD limitMs = 60000) {
    return WaitUntil([] { return QueryControllerProgress() != ControllerProgress::Running; }, limitMs);
}

// Each test starts and ends without an update; final pauses are short.
class UpdateProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetEnvironmentVariableW(L"KX_UPDATE_PAUSE_MS", L"10");
        UpdateTesting::ResetController();
    }
    void TearDown() override {
        UpdateTesting::ResetController();
        UpdateTesting::SetDownloadHook(nullptr);
        SetEnvironmentVariableW(L"KX_UPDATE_PAUSE_MS", nullptr);
    }
};

const wchar_t kQuery[] = LR"({"id":"queryAutoUpdateProgress"})";

}  // namespace Testing
