// The Amazon WorkSpaces monitor against a simulated installation: real 32-
// and 64-bit programs, a real "vchan_plugins" folder, the real cleanup list.

#include <gtest/gtest.h>

#include <new>

#include "base/access_token.h"
#include "base/object.h"
#include "support/event_capture.h"
#include "support/scratch_registry.h"
#include "registration/amazon_client_registration.h"
#include "registration_fixture.h"
#include "scoped_env.h"

using Fixture::Installation;

namespace {

Base::Ref<Amazon::ClientRegistrationWin32> MachineMonitor() {
    return Base::MakeRef<Amazon::ClientRegistrationWin32>(RegistryKey::Root(HKEY_LOCAL_MACHINE));
}

std::wstring CleanupList() { return Fixture::StringOr(0, Fixture::kCleanupKey, Fixture::kCleanupValue); }

}  // namespace

TEST(AmazonCheck, NotInstalledOnlySaysSo) {
    Installation fixture;
    fixture.RegisterModule(64);
    Testing::EventCapture capture;
    MachineMonitor()->Check();
    EXPECT_TRUE(capture.Contains(L"Amazon WorkSpaces open command was not found"));
    EXPECT_TRUE(capture.Contains(L"Amazon WorkSpaces Registration determined WorkSpaces is not installed"));
    EXPECT_EQ(CleanupList(), L"<missing>");
}

TEST(AmazonCheck, SixtyFourBitProgramGetsTheSixtyFourBitModuleAndIsRecorded) {
    Installation fixture;
    fixture.RegisterModule(32);
    fixture.RegisterModule(64);
    fixture.InstallWorkSpaces(64);
    Testing::EventCapture capture;
    const auto monitor = MachineMonitor();
    monitor->Check();
    const std::wstring command = L"\"" + fixture.WorkSpacesProgram() + L"\" \"%1\"";
    EXPECT_TRUE(capture.Contains(L"Found Amazon WorkSpaces all users open command [" + command + L"] path [" +
                                 fixture.WorkSpacesFolder() + L"]"));
    EXPECT_TRUE(capture.Contains(L"Amazon WorkSpaces binary [" + fixture.WorkSpacesProgram() + L"] is 64-bit"));
    EXPECT_TRUE(capture.Contains(L"Successfully copied [" + fixture.Module(64) + L"] to [" + fixture.WorkSpacesCopy() +
                                 L"]"));
    EXPECT_EQ(Fixture::FileSize(fixture.WorkSpacesCopy()), Fixture::FileSize(fixture.Module(64)));
    EXPECT_EQ(CleanupList(), fixture.WorkSpacesCopy());

    // A second pass finds the copy current and leaves the list alone.
    capture.Clear();
    monitor->Check();
    EXPECT_EQ(capture.Count(L"Successfully copied"), 0u);
    EXPECT_EQ(capture.Count(L"cleanup"), 0u);
}

TEST(AmazonCheck, ThirtyTwoBitProgramGetsTheThirtyTwoBitModule) {
    Installation fixture;
    fixture.RegisterModule(32);
    fixture.RegisterModule(64);
    // A "\\?\" path keeps its prefix in the folder and the plug-in path.
    const std::wstring program = L"\\\\?\\" + fixture.WorkSpacesProgram();
    fixture.InstallWorkSpaces(32, true, program + L" --uri workspaces://x");
    Testing::EventCapture capture;
    MachineMonitor()->Check();
    EXPECT_TRUE(capture.Contains(L"Amazon WorkSpaces binary [" + program + L"] is 32-bit"));
    EXPECT_EQ(Fixture::FileSize(fixture.WorkSpacesCopy()), Fixture::FileSize(fixture.Module(32)));
}

TEST(AmazonCheck, OlderCopyOfTheSameSizeIsReplacedWithoutRepeatingTheListEntry) {
    Installation fixture;
    fixture.RegisterModule(64);
    fixture.InstallWorkSpaces(64);
    CreateDirectoryW(fixture.Plugins().c_str(), nullptr);
    CopyFileW(fixture.Module(64).c_str(), fixture.WorkSpacesCopy().c_str(), FALSE);
    ASSERT_TRUE(Fixture::CopyWriteTime(fixture.Module(64), fixture.WorkSpacesCopy(), -20000000));
    Fixture::SetString(0, Fixture::kCleanupKey, Fixture::kCleanupValue, L"E:\\x\\kxclient.dll;" + fixture.WorkSpacesCopy());
    Testing::EventCapture capture;
    MachineMonitor()->Check();
    EXPECT_TRUE(capture.Contains(L"Successfully copied [" + fixture.Module(64) + L"] to [" + fixture.WorkSpacesCopy() +
                                 L"]"));
    EXPECT_EQ(CleanupList(), L"E:\\x\\kxclient.dll;" + fixture.WorkSpacesCopy());
    EXPECT_EQ(capture.Count(L"Not updating Amazon WorkSpaces cleanup file"), 1u);
}

TEST(AmazonCheck, MissingPluginFolderIsNeverCreated) {
    Installation fixture;
    fixture.RegisterModule(64);
    fixture.InstallWorkSpaces(64, false);
    Testing::EventCapture capture;
    MachineMonitor()->Check();
    EXPECT_TRUE(capture.Contains(L"Amazon WorkSpaces vchan_plugins directory [" + fixture.Plugins() +
                                 L"] does not exist"));
    EXPECT_FALSE(Fixture::Exists(fixture.Plugins()));
    EXPECT_EQ(CleanupList(), L"<missing>");
}

TEST(AmazonCheck, OnlyTheOtherBuildRegisteredMeansNoCopy) {
    Installation fixture;
    fixture.RegisterModule(32);
    fixture.InstallWorkSpaces(64);
    Testing::EventCapture capture;
    MachineMonitor()->Check();
    EXPECT_TRUE(capture.Contains(L"Failed to find Veltrastone 64-bit client path within the registry"));
    EXPECT_FALSE(Fixture::Exists(fixture.WorkSpacesCopy()));
    // Registered but its file is gone: the same outcome.
    fixture.RegisterModulePath(64, fixture.Root() + L"\\gone.dll");
    MachineMonitor()->Check();
    EXPECT_TRUE(capture.Contains(L"Found Veltrastone 64-bit client path [" + fixture.Root() +
                                 L"\\gone.dll] but file was not found"));
    EXPECT_FALSE(Fixture::Exists(fixture.WorkSpacesCopy()));
}

TEST(AmazonCheck, BrokenInstallationsAreReportedAndContained) {
    Installation fixture;
    fixture.RegisterModule(64);
    fixture.InstallWorkSpaces(64);
    Testing::EventCapture capture;
    // The program named by the command is gone.
    const std::wstring goneCommand = L"\"" + fixture.Root() + L"\\nowhere\\workspaces.exe\"";
    Fixture::SetString(0, Fixture::kOpenCommandKey, L"", goneCommand);
    MachineMonitor()->Check();
    EXPECT_TRUE(capture.Contains(L"Found Amazon WorkSpaces all users open command [" + goneCommand + L"] path [" +
                                 fixture.Root() + L"\\nowhere] but file was not found"));
    // Not a program at all: unknown platform.
    const std::wstring text = fixture.WorkSpacesFolder() + L"\\readme.txt";
    Fixture::WriteBytes(text, "not a program");
    Fixture::SetString(0, Fixture::kOpenCommandKey, L"", text);
    MachineMonitor()->Check();
    EXPECT_TRUE(capture.Contains(L"Unable to copy Amazon WorkSpaces client for unknown platform"));
    // Empty, blank, wrong type, very long, quote-only commands.
    for (const std::wstring& command : {std::wstring(L""), std::wstring(L"   "), std::wstring(L"\""),
                                        std::wstring(L"\"\""), std::wstring(30000, L'a')}) {
        Fixture::SetString(0, Fixture::kOpenCommandKey, L"", command);
        MachineMonitor()->Check();
    }
    Fixture::SetDword(0, Fixture::kOpenCommandKey, L"", 1);
    MachineMonitor()->Check();
    EXPECT_TRUE(capture.Contains(L"Failed to open Amazon WorkSpaces installation folder error [Unable to convert STRING "
                                 L"registry value]"));
    EXPECT_FALSE(Fixture::Exists(fixture.WorkSpacesCopy()));
}

TEST(AmazonCheck, UserMonitorLooksInTheUsersHiveOnly) {
    Installation fixture;
    fixture.RegisterModule(64);
    fixture.InstallWorkSpaces(64, true, L"", HKEY_CURRENT_USER);
    MachineMonitor()->Check();
    EXPECT_FALSE(Fixture::Exists(fixture.WorkSpacesCopy()));
    Amazon::ClientRegistrationWin32::CreateForUser(OpenCurrentProcessToken())->Check();
    EXPECT_TRUE(Fixture::Exists(fixture.WorkSpacesCopy()));
}

TEST(AmazonMonitor, TimedPassesRepairAndStopCleanly) {
    const int32_t baseline = Base::Object::LiveObjectCount();
    {
        Installation fixture;
        fixture.RegisterModule(64);
        fixture.InstallWorkSpaces(64);
        ScopedEnv interval(L"KX_AMAZON_INTERVAL_MS", L"30");
        Testing::EventCapture capture;
        auto monitor = MachineMonitor();
        monitor->Check();
        monitor->StartMonitoring();
        const std::wstring expired =
            L"Amazon WorkSpaces Registration [" + Testing::PointerText(monitor.Get()) + L"] timeout expired. Checking for client DLL.";
        DeleteFileW(fixture.WorkSpacesCopy().c_str());
        EXPECT_TRUE(Fixture::WaitUntil([&] { return Fixture::Exists(fixture.WorkSpacesCopy()); }));
        EXPECT_TRUE(Fixture::WaitUntil([&] { return capture.Count(expired) >= 5; }));
        monitor->StopMonitoring();
        const size_t passes = capture.Count(expired);
        Sleep(300);
        EXPECT_EQ(capture.Count(expired), passes);
        EXPECT_TRUE(capture.Contains(L"Amazon WorkSpaces Registration [" + Testing::PointerText(monitor.Get()) +
                                     L"] stopped monitoring registration"));
        // Not installed: a pass writes only its opening line.
        Fixture::DeleteKey(0, Fixture::kWorkSpacesClass);
        monitor->StartMonitoring();
        capture.Clear();
        EXPECT_TRUE(Fixture::WaitUntil([&] { return capture.Count(expired) >= 2; }));
        monitor->StopMonitoring();
        EXPECT_EQ(capture.Count(L"Amazon WorkSpaces Registration determined WorkSpaces is not installed"),
                  0u);
    }
    EXPECT_EQ(Base::Object::LiveObjectCount(), baseline);
}

TEST(AmazonMonitor, AnyExceptionInAPassIsLoggedAndTheNextPassRuns) {
    Installation fixture;
    ScopedEnv interval(L"KX_AMAZON_INTERVAL_MS", L"30");
    Testing::EventCapture capture;
    auto monitor = MachineMonitor();
    const std::wstring self = L"Amazon WorkSpaces Registration [" + Testing::PointerText(monitor.Get()) + L"] ";
    capture.OnNext(L"Amazon WorkSpaces open command was not found", [] { throw std::bad_alloc(); });
    monitor->StartMonitoring();
    EXPECT_TRUE(capture.WaitForCount(self + L"failed to check registration error [std::bad_alloc]", 1, 10000));
    EXPECT_TRUE(capture.WaitForCount(self + L"timeout expired", 2, 10000));
    monitor->StopMonitoring();
}
