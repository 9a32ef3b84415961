#include <gtest/gtest.h>

#include <fstream>
#include <new>

#include "base/access_token.h"
#include "base/object.h"
#include "registration/amazon_client_registration.h"
#include "registration_fixture.h"
#include "scoped_env.h"
#include "support/event_capture.h"

using Fixture::CleanupList;
using Fixture::Installation;

namespace {

Base::Ref<Amazon::ClientRegistrationWin32> MachineMonitor() {
    return Base::MakeRef<Amazon::ClientRegistrationWin32>(RegistryKey::Root(HKEY_LOCAL_MACHINE));
}

}  // namespace

TEST(AmazonCheck, EachProgramGetsItsOwnBuildRecordedOnce) {
    Installation fixture;
    fixture.RegisterModule(32);
    fixture.RegisterModule(64);
    fixture.InstallWorkSpaces(64);
    const auto monitor = MachineMonitor();
    monitor->Check();
    EXPECT_EQ(Fixture::FileSize(fixture.WorkSpacesCopy()), Fixture::FileSize(fixture.Module(64)));
    EXPECT_EQ(CleanupList(), fixture.WorkSpacesCopy());
    Testing::EventCapture capture;
    monitor->Check();  // current: nothing is copied
    EXPECT_EQ(capture.Count(L"Successfully copied"), 0u);

    // A 32-bit program named through a "\\?\" path: the prefix stays in the plug-in path.
    DeleteFileW(fixture.WorkSpacesCopy().c_str());
    fixture.InstallWorkSpaces(32, true, L"\\\\?\\" + fixture.WorkSpacesProgram() + L" --uri workspaces://x");
    monitor->Check();
    EXPECT_EQ(Fixture::FileSize(fixture.WorkSpacesCopy()), Fixture::FileSize(fixture.Module(32)));

    // An older copy of the same size is replaced; a list that holds it already is kept.
    ASSERT_TRUE(Testing::SetWriteTime(fixture.WorkSpacesCopy(), 125911584000000000));  // 2000, older than the build
    const std::wstring list = L"E:\\x\\kxclient.dll;\\\\?\\" + fixture.WorkSpacesCopy();
    Fixture::SetString(0, Fixture::kCleanupKey, Fixture::kCleanupValue, list);
    capture.Clear();
    monitor->Check();
    EXPECT_EQ(capture.Count(L"Successfully copied"), 1u);
    EXPECT_EQ(CleanupList(), list);
}

// Whatever is missing or broken, nothing is copied or created and the list stays as it was.
TEST(AmazonCheck, NothingIsCopiedWithoutAllACopyNeeds) {
    Installation fixture;
    Testing::EventCapture capture;
    const auto check = [&] {
        MachineMonitor()->Check();
        EXPECT_FALSE(Fixture::Exists(fixture.WorkSpacesCopy()));
    };
    fixture.RegisterModule(32);
    check();  // not installed
    fixture.InstallWorkSpaces(64, false);
    fixture.RegisterModule(64);
    check();  // no plug-in folder
    EXPECT_FALSE(Fixture::Exists(fixture.Plugins()));
    CreateDirectoryW(fixture.Plugins().c_str(), nullptr);
    fixture.RegisterModulePath(64, fixture.Root() + L"\\gone.dll");
    check();  // the registered build is gone
    Fixture::DeleteKey(Fixture::kView64, Fixture::kModuleClsid);
    check();  // only the other build is registered
    fixture.RegisterModule(64);
    const std::wstring goneCommand = L"\"" + fixture.Root() + L"\\nowhere\\workspaces.exe\"";
    Fixture::SetString(0, Fixture::kOpenCommandKey, L"", goneCommand);
    check();
    EXPECT_TRUE(capture.Contains(L"Found Amazon WorkSpaces all users open command [" + goneCommand + L"] path [" +
                                 fixture.Root() + L"\\nowhere] but file was not found"));
    const std::wstring text = fixture.WorkSpacesFolder() + L"\\readme.txt";
    std::ofstream(text.c_str()) << "not a program";
    Fixture::SetString(0, Fixture::kOpenCommandKey, L"", text);
    check();
    EXPECT_TRUE(capture.Contains(L"Unable to copy Amazon WorkSpaces client for unknown platform"));
    for (const auto& command : std::vector<std::wstring>{L"", L"   ", L"\"", L"\"\"", std::wstring(30000, L'a')}) {
        Fixture::SetString(0, Fixture::kOpenCommandKey, L"", command);
        check();
    }
    Fixture::SetDword(0, Fixture::kOpenCommandKey, L"", 1);
    check();
    EXPECT_TRUE(capture.Contains(L"Failed to open Amazon WorkSpaces installation folder" + Fixture::kNotAString));
    EXPECT_EQ(CleanupList(), L"<missing>");
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

// Once the live count is back after the stop, no armed pass is left to run.
TEST(AmazonMonitor, TimedPassesRepairSurviveAnyExceptionAndStopCleanly) {
    const int32_t baseline = Base::Object::LiveObjectCount();
    {
        Installation fixture;
        fixture.RegisterModule(64);
        fixture.InstallWorkSpaces(64);
        ScopedEnv interval(L"KX_AMAZON_INTERVAL_MS", L"30");
        Testing::EventCapture capture;
        auto monitor = MachineMonitor();
        const std::wstring self = L"Amazon WorkSpaces Registration [" + Testing::PointerText(monitor.Get()) + L"] ";
        capture.OnNext(L"Found Amazon WorkSpaces all users open command", [] { throw std::bad_alloc(); });
        monitor->StartMonitoring();
        EXPECT_TRUE(capture.WaitForCount(self + L"failed to check registration error [std::bad_alloc]", 1, 10000));
        EXPECT_TRUE(Fixture::WaitUntil([&] { return CleanupList() == fixture.WorkSpacesCopy(); }));  // copied
        DeleteFileW(fixture.WorkSpacesCopy().c_str());
        EXPECT_TRUE(Fixture::WaitUntil([&] { return Fixture::Exists(fixture.WorkSpacesCopy()); }));
        monitor->StopMonitoring();
    }
    EXPECT_EQ(Base::Object::LiveObjectCount(), baseline);
}
