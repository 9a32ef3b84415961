#pragma once
// In-process access to the instruction protocol as the RPC server uses it,
// a fixture that gives each test a process without an update, and the text
// of a failed update step.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "autoupdate/update_controller.h"
#include "autoupdate/update_protocol.h"
#include "base/exception.h"
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
        UpdateTesting::SetValidatedHook(nullptr);
        SetEnvironmentVariableW(L"KX_UPDATE_PAUSE_MS", nullptr);
    }
};

// What the step threw as an AutoUpdateException; empty when it threw nothing.
template <typename Step>
std::string ThrownText(Step step) {
    try {
        step();
    } catch (const AutoUpdateException& e) {
        return e.what();
    }
    return "";
}

const wchar_t kQuery[] = LR"({"id":"queryAutoUpdateProgress"})";

}  // namespace Testing
