#include <gtest/gtest.h>
#include <windows.h>

#include "base/access_token.h"
#include "base/object.h"
#include "registration/citrix_client_registration.h"
#include "registration_fixture.h"
#include "scoped_env.h"
#include "support/event_capture.h"

using Fixture::Installation;
using Fixture::kChannelKey;
using Fixture::kIcaKey;
using Fixture::kView32;
using Testing::PointerText;

namespace {

Base::Ref<Citrix::ClientRegistrationWin32> MachineMonitor() {
    return Base::MakeRef<Citrix::ClientRegistrationWin32>(RegistryKey::Root(HKEY_LOCAL_MACHINE));
}

std::wstring DriverList() { return Fixture::StringOr(kView32, kIcaKey, L"VirtualDriverEx"); }

// Passes of one monitor in the trace, or 0 when one began before the last was done.
size_t AlternatingPasses(const std::vector<std::wstring>& lines, const void* monitor) {
    const std::wstring self = L"Citrix Registration [" + PointerText(monitor) + L"]";
    size_t begun = 0, done = 0;
    for (const auto& line : lines) {
        if (line.rfind(L"Checking for " + self, 0) == 0 && begun++ != done) return 0;
        if (line.rfind(L"Done checking for " + self, 0) == 0 && ++done != begun) return 0;
    }
    return begun == done ? begun : 0;
}

}  // namespace

// No folder, a folder that is gone, a value of another type, a huge one.
TEST(CitrixCheck, NotInstalledWritesAndCopiesNothing) {
    Installation fixture;
    fixture.RegisterModule(32);
    Testing::EventCapture capture;
    MachineMonitor()->Check();
    Fixture::SetString(kView32, Fixture::kInstallKey, L"InstallFolder", fixture.Root() + L"\\gone");
    MachineMonitor()->Check();
    Fixture::SetDword(kView32, Fixture::kInstallKey, L"InstallFolder", 5);
    MachineMonitor()->Check();
    EXPECT_TRUE(capture.Contains(L"Failed to open Citrix installation folder" + Fixture::kNotAString));
    Fixture::SetString(kView32, Fixture::kInstallKey, L"InstallFolder", std::wstring(5000, L'x'));
    MachineMonitor()->Check();
    EXPECT_EQ(capture.Count(L"Citrix Registration determined Citrix is not installed"), 4u);
    EXPECT_FALSE(Fixture::KeyExists(kView32, L"SOFTWARE\\Citrix\\ICA Client"));
    EXPECT_FALSE(Fixture::Exists(fixture.CitrixCopy()));
}

// Channel values are case sensitive, and one of another type stops only the channel step.
TEST(CitrixCheck, RepairsChannelDriverListAndModuleThenFindsNothingToDo) {
    Installation fixture;
    fixture.RegisterModule(32);
    fixture.RegisterModule(64);
    fixture.InstallCitrix();
    Fixture::SetString(kView32, kChannelKey, L"DriverName", L"unsupported");
    Fixture::SetDword(kView32, kChannelKey, L"DriverNameWin32", 1);
    Testing::EventCapture capture;
    const auto monitor = MachineMonitor();
    monitor->Check();
    EXPECT_EQ(Fixture::StringOr(kView32, kChannelKey, L"DriverName"), L"Unsupported");
    EXPECT_EQ(Fixture::StringOr(kView32, kChannelKey, L"DriverNameWin16"), L"Unsupported");
    EXPECT_TRUE(capture.Contains(L"Failed to create Citrix channel key" + Fixture::kNotAString));
    EXPECT_EQ(DriverList(), L"Thinwire3.0, ClientDrive, Veltrastone");
    // The 32-bit build is the one copied, and nothing goes into the 64-bit view.
    EXPECT_EQ(Fixture::FileSize(fixture.CitrixCopy()), Fixture::FileSize(fixture.Module(32)));
    EXPECT_FALSE(Fixture::KeyExists(0, L"SOFTWARE\\Citrix\\ICA Client"));
    Fixture::DeleteKey(kView32, kChannelKey);
    monitor->Check();
    EXPECT_TRUE(fixture.ChannelRepaired());
    capture.Clear();
    monitor->Check();
    EXPECT_EQ(capture.Count(L"Successfully"), 0u);
}

TEST(CitrixCheck, DriverListCleanUps) {
    Installation fixture;
    fixture.InstallCitrix();
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"", L"Veltrastone"},
        {L"A, B", L"A, B, Veltrastone"},
        {L"A, B, ", L"A, B, Veltrastone"},
        {L"A,", L"A, Veltrastone"},
        {L"A,,B", L"A,B, Veltrastone"},
        // Whole entries, blanks trimmed, case as stored.
        {L"A, Veltrastone ,B", L"A, Veltrastone ,B"},
        {L"VeltrastoneOld", L"VeltrastoneOld, Veltrastone"},
        {L"XVeltrastoneY", L"XVeltrastoneY, Veltrastone"},
        {L"A, veltrastone", L"A, veltrastone, Veltrastone"},
    };
    for (const auto& [before, after] : cases) {
        Fixture::SetString(kView32, kIcaKey, L"VirtualDriverEx", before);
        MachineMonitor()->AddVirtualDriver();
        EXPECT_EQ(DriverList(), after) << "from [" << before.size() << "]";
    }
    Fixture::DeleteKey(kView32, kIcaKey);
    MachineMonitor()->AddVirtualDriver();
    EXPECT_EQ(DriverList(), L"Veltrastone");
    Fixture::SetDword(kView32, kIcaKey, L"VirtualDriverEx", 9);
    Testing::EventCapture capture;
    MachineMonitor()->AddVirtualDriver();
    EXPECT_TRUE(capture.Contains(L"Failed to create ICA 3.0 key" + Fixture::kNotAString));
}

// A module gone or not registered, a destination that is a folder: the registry is repaired all the same.
TEST(CitrixCheck, ACopyThatCannotBeMadeFailsOnlyTheCopy) {
    Installation fixture;
    const std::wstring gone = fixture.Root() + L"\\gone\\kxclient.dll";
    fixture.RegisterModulePath(32, gone);
    fixture.InstallCitrix();
    Testing::EventCapture capture;
    MachineMonitor()->Check();
    EXPECT_TRUE(capture.Contains(L"Client [" + gone + L"] does not exist"));
    EXPECT_TRUE(fixture.ChannelRepaired());
    Fixture::DeleteKey(kView32, Fixture::kModuleClsid);
    MachineMonitor()->CopyClientModule();
    EXPECT_TRUE(capture.Contains(L"Client [] does not exist"));

    fixture.RegisterModule(32);
    CreateDirectoryW(fixture.CitrixCopy().c_str(), nullptr);
    MachineMonitor()->CopyClientModule();
    const std::wstring from = L"[" + fixture.Module(32) + L"] ";
    EXPECT_EQ(capture.Count(L"Failed to copy file from source " + from + L"destination [" + fixture.CitrixCopy()), 1u);
    EXPECT_EQ(capture.Count(L"Failed to copy " + from + L"to [" + fixture.CitrixCopy() + L"] error ["), 1u);
}

TEST(CitrixCheck, UserMonitorRepairsInsideTheUsersHiveOnly) {
    Installation fixture;
    fixture.RegisterModule(32);
    fixture.InstallCitrix(false, HKEY_CURRENT_USER);
    Citrix::ClientRegistrationWin32::CreateForUser(OpenCurrentProcessToken())->Check();
    EXPECT_TRUE(fixture.ChannelRepaired(HKEY_CURRENT_USER));
    EXPECT_FALSE(Fixture::KeyExists(kView32, kChannelKey));  // the machine's configuration is untouched
    EXPECT_TRUE(Fixture::Exists(fixture.CitrixCopy()));
}

// The live count back at the end shows that no armed wait was left after the stop.
class CitrixMonitor : public ::testing::Test {
protected:
    void SetUp() override { fixture.InstallAll(); }
    void TearDown() override {
        if (monitor) monitor->StopMonitoring();
        monitor.Reset();
        EXPECT_EQ(Base::Object::LiveObjectCount(), baseline);
    }
    void StartMonitor() {
        monitor = MachineMonitor();
        monitor->Check();
        monitor->StartMonitoring();
    }

    const int32_t baseline = Base::Object::LiveObjectCount();
    Installation fixture;
    ScopedEnv settle{L"KX_CITRIX_SETTLE_MS", L"20"};
    ScopedEnv timeout{L"KX_CITRIX_WAIT_MS", L"400"};
    Testing::EventCapture capture;
    Base::Ref<Citrix::ClientRegistrationWin32> monitor;
};

TEST_F(CitrixMonitor, ChangeStormsAreRepairedByPassesThatNeverOverlapAlsoAfterARestart) {
    StartMonitor();
    ASSERT_TRUE(fixture.ChannelRepaired());
    Base::UniqueRegKey channel;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kChannelKey, 0, KEY_SET_VALUE | kView32, channel.Put()), 0);
    for (int i = 0; i < 1000; ++i) {
        const std::wstring value = L"storm " + std::to_wstring(i);
        RegSetValueExW(channel.Get(), i % 2 ? L"DriverName" : L"DriverNameWin32", 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(value.c_str()), static_cast<DWORD>((value.size() + 1) * 2));
    }
    EXPECT_TRUE(Fixture::WaitUntil([&] { return fixture.ChannelRepaired(); }));
    // Still watching: a later deletion is repaired too, and the module copy put back.
    DeleteFileW(fixture.CitrixCopy().c_str());
    Fixture::DeleteKey(kView32, kChannelKey);
    EXPECT_TRUE(Fixture::WaitUntil([&] { return fixture.ChannelRepaired() && Fixture::Exists(fixture.CitrixCopy()); }));
    monitor->StopMonitoring();
    EXPECT_GE(AlternatingPasses(capture.Messages(), monitor.Get()), 3u);
    EXPECT_EQ(capture.Count(L"Will not retry"), 0u);
    EXPECT_EQ(capture.Count(L"Failed to invoke wait callback"), 0u);

    monitor->StartMonitoring();
    Fixture::DeleteKey(kView32, kChannelKey);
    EXPECT_TRUE(Fixture::WaitUntil([&] { return fixture.ChannelRepaired(); }));
    monitor->StopMonitoring();  // TearDown stops it once more: harmless
}

TEST_F(CitrixMonitor, StopDuringTheSettlingPauseWaitsForThePass) {
    ScopedEnv longSettle(L"KX_CITRIX_SETTLE_MS", L"1500");
    StartMonitor();
    Fixture::DeleteKey(kView32, kChannelKey);
    ASSERT_TRUE(capture.WaitForCount(L"Citrix Registration [" + PointerText(monitor.Get()) + L"] detected changes", 1));
    monitor->StopMonitoring();
    EXPECT_TRUE(fixture.ChannelRepaired());
}

// Armed by the first timed pass that finds the modules key, the watch sees the next change.
TEST_F(CitrixMonitor, StartsWatchingOnceTheModulesKeyAppears) {
    Fixture::DeleteKey(kView32, Fixture::kCitrixRoot);
    StartMonitor();
    fixture.InstallCitrix(false);
    ASSERT_TRUE(capture.WaitForCount(L"Citrix Registration is waiting for registration to change", 1));
    Fixture::DeleteKey(kView32, kChannelKey);
    EXPECT_TRUE(capture.WaitForCount(L"Citrix Registration [" + PointerText(monitor.Get()) + L"] detected changes", 1));
    EXPECT_TRUE(Fixture::WaitUntil([&] { return fixture.ChannelRepaired(); }));
}

TEST_F(CitrixMonitor, HostileInstallFolderDuringMonitoringDoesNotEndTheWatch) {
    StartMonitor();
    // A folder name the file system rejects outright.
    Fixture::SetString(kView32, Fixture::kInstallKey, L"InstallFolder", L"C:\\bad\x01|<>name");
    Fixture::DeleteKey(kView32, kChannelKey);
    EXPECT_TRUE(capture.WaitForCount(L"failed to check registration error [", 2));
    fixture.InstallCitrix();
    EXPECT_TRUE(Fixture::WaitUntil([&] { return fixture.ChannelRepaired(); }));
    monitor->StopMonitoring();
    EXPECT_EQ(capture.Count(L"Failed to invoke wait callback"), 0u);
}

TEST_F(CitrixMonitor, AFailedWaitEndsTheWatchWithoutAPass) {
    ScopedEnv noTimedPass(L"KX_CITRIX_WAIT_MS", L"60000");
    StartMonitor();
    capture.Clear();
    HandleWait::OnWait(nullptr, monitor->ChangeWait(), nullptr, WAIT_ABANDONED);
    EXPECT_EQ(capture.Count(L"Citrix Registration [" + PointerText(monitor.Get()) +
                            L"] failed to wait for changes to module path with error ["),
              1u);
    EXPECT_EQ(capture.Count(L"]. Will not retry."), 1u);
    EXPECT_EQ(capture.Count(L"Checking for Citrix Registration"), 0u);
    EXPECT_EQ(capture.Count(L"Waiting on handle"), 0u);
}
