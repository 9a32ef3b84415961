// The Citrix monitor watching the real registry with shortened waits:
// repairs after changes, survives change storms, never runs two passes at
// once and stops cleanly, also in the middle of a settling pause.

#include <gtest/gtest.h>

#include "base/object.h"
#include "support/event_capture.h"
#include "support/scratch_registry.h"
#include "registration/citrix_client_registration.h"
#include "registration_fixture.h"
#include "scoped_env.h"

using Fixture::Installation;
using Fixture::kChannelKey;
using Fixture::kView32;

namespace {

Base::Ref<Citrix::ClientRegistrationWin32> StartedMachineMonitor() {
    auto monitor = Base::MakeRef<Citrix::ClientRegistrationWin32>(RegistryKey::Root(HKEY_LOCAL_MACHINE));
    monitor->Check();
    monitor->StartMonitoring();
    return monitor;
}

// Passes of one monitor, read from the trace: every "Checking" line must be
// followed by its "Done checking" line before the next "Checking" line.
bool PassesAlternate(const std::vector<std::wstring>& lines, const void* monitor, size_t& passes) {
    const std::wstring begin = L"Checking for Citrix Registration [" + Testing::PointerText(monitor) + L"]";
    const std::wstring end = L"Done checking for Citrix Registration [" + Testing::PointerText(monitor) + L"]";
    bool inside = false;
    passes = 0;
    for (const auto& line : lines) {
        if (line.find(begin) == 0) {
            if (inside) return false;
            inside = true;
            ++passes;
        } else if (line.find(end) == 0) {
            if (!inside) return false;
            inside = false;
        }
    }
    return !inside;
}

}  // namespace

class CitrixMonitor : public ::testing::Test {
protected:
    void SetUp() override {
        baseline = Base::Object::LiveObjectCount();
        fixture.InstallAll();
    }
    void TearDown() override { EXPECT_EQ(Base::Object::LiveObjectCount(), baseline); }

    int32_t baseline = 0;
    Installation fixture;
    ScopedEnv settle{L"KX_CITRIX_SETTLE_MS", L"20"};
    ScopedEnv timeout{L"KX_CITRIX_WAIT_MS", L"400"};
};

TEST_F(CitrixMonitor, ChangesAreRepairedAlsoAfterARestart) {
    auto monitor = StartedMachineMonitor();
    ASSERT_TRUE(fixture.ChannelRepaired());
    Fixture::DeleteKey(kView32, kChannelKey);
    EXPECT_TRUE(Fixture::WaitUntil([&] { return fixture.ChannelRepaired(); }));
    // The copy in the installation folder is put back as well.
    DeleteFileW(fixture.CitrixCopy().c_str());
    Fixture::SetString(kView32, kChannelKey, L"DriverNameWin32", L"other.dll");
    EXPECT_TRUE(Fixture::WaitUntil(
        [&] { return fixture.ChannelRepaired() && Fixture::Exists(fixture.CitrixCopy()); }));
    monitor->StopMonitoring();
    monitor->StartMonitoring();
    Fixture::DeleteKey(kView32, kChannelKey);
    EXPECT_TRUE(Fixture::WaitUntil([&] { return fixture.ChannelRepaired(); }));
    monitor->StopMonitoring();
    monitor->StopMonitoring();  // a second stop is harmless
}

TEST_F(CitrixMonitor, ChangeStormLeavesTheMonitorAliveAndTheRegistrationRepaired) {
    Testing::EventCapture capture;
    auto monitor = StartedMachineMonitor();
    HKEY channel = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kChannelKey, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, &channel), 0);
    for (int i = 0; i < 1000; ++i) {
        const std::wstring value = L"storm " + std::to_wstring(i);
        RegSetValueExW(channel, i % 2 ? L"DriverName" : L"DriverNameWin32", 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(value.c_str()), static_cast<DWORD>((value.size() + 1) * 2));
    }
    RegCloseKey(channel);
    EXPECT_TRUE(Fixture::WaitUntil([&] { return fixture.ChannelRepaired(); }));
    // Still watching: a later deletion is repaired too.
    Fixture::DeleteKey(kView32, kChannelKey);
    EXPECT_TRUE(Fixture::WaitUntil([&] { return fixture.ChannelRepaired(); }));
    monitor->StopMonitoring();
    size_t passes = 0;
    EXPECT_TRUE(PassesAlternate(capture.Messages(), monitor.Get(), passes));
    EXPECT_GE(passes, 3u);
    EXPECT_EQ(capture.Count(L"Will not retry"), 0u);
    EXPECT_EQ(capture.Count(L"Failed to invoke wait callback"), 0u);
}

TEST_F(CitrixMonitor, StopDuringTheSettlingPauseWaitsForThePassAndNothingRunsAfter) {
    ScopedEnv longSettle(L"KX_CITRIX_SETTLE_MS", L"1500");
    Testing::EventCapture capture;
    auto monitor = StartedMachineMonitor();
    const std::wstring detected = L"Citrix Registration [" + Testing::PointerText(monitor.Get()) + L"] detected changes";
    Fixture::DeleteKey(kView32, kChannelKey);
    ASSERT_TRUE(Fixture::WaitUntil([&] { return capture.Count(detected) == 1; }));
    monitor->StopMonitoring();
    // The pass that was pausing finished before the stop returned.
    EXPECT_TRUE(fixture.ChannelRepaired());
    const std::wstring self = L"[" + Testing::PointerText(monitor.Get()) + L"]";
    const size_t linesAtStop = capture.Count(self);
    // Changes and timeouts after the stop run nothing.
    Fixture::DeleteKey(kView32, kChannelKey);
    Sleep(1000);
    EXPECT_EQ(capture.Count(self), linesAtStop);
    EXPECT_FALSE(Fixture::KeyExists(kView32, kChannelKey));
}

TEST_F(CitrixMonitor, StartsWatchingOnceTheModulesKeyAppears) {
    Fixture::DeleteKey(kView32, Fixture::kCitrixRoot);
    Testing::EventCapture capture;
    auto monitor = StartedMachineMonitor();
    EXPECT_TRUE(capture.Contains(L"Citrix Registration could not find a module path. Will try again in [400] ms"));
    fixture.InstallCitrix(false);
    // The next timed pass repairs and arms the watch.
    EXPECT_TRUE(Fixture::WaitUntil([&] {
        return fixture.ChannelRepaired() && capture.Contains(L"Citrix Registration is waiting for registration to change");
    }));
    Fixture::DeleteKey(kView32, kChannelKey);
    EXPECT_TRUE(Fixture::WaitUntil([&] { return fixture.ChannelRepaired(); }));
    monitor->StopMonitoring();
}

TEST_F(CitrixMonitor, HostileInstallFolderDuringMonitoringDoesNotEndTheWatch) {
    Testing::EventCapture capture;
    auto monitor = StartedMachineMonitor();
    // A folder name the file system rejects outright.
    Fixture::SetString(kView32, Fixture::kInstallKey, L"InstallFolder", L"C:\\bad\x01|<>name");
    Fixture::DeleteKey(kView32, kChannelKey);
    EXPECT_TRUE(Fixture::WaitUntil(
        [&] { return capture.Count(L"failed to check registration error [") >= 2; }));
    fixture.InstallCitrix();
    EXPECT_TRUE(Fixture::WaitUntil([&] { return fixture.ChannelRepaired(); }));
    monitor->StopMonitoring();
    EXPECT_EQ(capture.Count(L"Failed to invoke wait callback"), 0u);
}

TEST_F(CitrixMonitor, AFailedWaitEndsTheWatchWithoutAPass) {
    ScopedEnv noTimedPass(L"KX_CITRIX_WAIT_MS", L"60000");
    Testing::EventCapture capture;
    auto monitor = StartedMachineMonitor();
    capture.Clear();
    HandleWait::OnWait(nullptr, monitor->ChangeWait(), nullptr, WAIT_ABANDONED);
    EXPECT_EQ(capture.Count(L"Citrix Registration [" + Testing::PointerText(monitor.Get()) +
                            L"] failed to wait for changes to module path with error ["),
              1u);
    EXPECT_EQ(capture.Count(L"]. Will not retry."), 1u);
    EXPECT_EQ(capture.Count(L"Checking for Citrix Registration"), 0u);
    EXPECT_EQ(capture.Count(L"Waiting on handle"), 0u);
    monitor->StopMonitoring();
}
