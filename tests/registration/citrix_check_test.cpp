// One Citrix check-and-repair pass against the real registry's 32-bit view
// and real files.

#include <gtest/gtest.h>
#include <windows.h>

#include "base/access_token.h"
#include "registration/citrix_client_registration.h"
#include "registration_fixture.h"
#include "support/event_capture.h"

using Fixture::Installation;
using Fixture::kChannelKey;
using Fixture::kIcaKey;
using Fixture::kView32;

namespace {

Base::Ref<Citrix::ClientRegistrationWin32> MachineMonitor() {
    return Base::MakeRef<Citrix::ClientRegistrationWin32>(RegistryKey::Root(HKEY_LOCAL_MACHINE));
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
    EXPECT_TRUE(capture.Contains(L"Failed to open Citrix installation folder error [Unable to convert STRING registry "
                                 L"value]"));
    Fixture::SetString(kView32, Fixture::kInstallKey, L"InstallFolder", std::wstring(5000, L'x'));
    MachineMonitor()->Check();
    EXPECT_EQ(capture.Count(L"Citrix Registration determined Citrix is not installed"), 4u);
    EXPECT_FALSE(Fixture::KeyExists(kView32, L"SOFTWARE\\Citrix\\ICA Client"));
    EXPECT_FALSE(Fixture::Exists(fixture.CitrixCopy()));
}

TEST(CitrixCheck, RepairsChannelDriverListAndModuleThenFindsNothingToDo) {
    Installation fixture;
    fixture.RegisterModule(32);
    fixture.RegisterModule(64);
    fixture.InstallCitrix();
    const auto monitor = MachineMonitor();
    monitor->Check();
    EXPECT_TRUE(fixture.ChannelRepaired());
    EXPECT_EQ(Fixture::StringOr(kView32, kIcaKey, L"VirtualDriverEx"), L"Thinwire3.0, ClientDrive, Veltrastone");
    // The 32-bit build is the one copied, and nothing goes into the 64-bit view.
    EXPECT_EQ(Fixture::FileSize(fixture.CitrixCopy()), Fixture::FileSize(fixture.Module(32)));
    EXPECT_FALSE(Fixture::KeyExists(0, L"SOFTWARE\\Citrix\\ICA Client"));
    Testing::EventCapture capture;
    monitor->Check();
    EXPECT_EQ(capture.Count(L"Successfully"), 0u);
}

TEST(CitrixCheck, ChannelValuesAreCaseSensitiveAndAWrongTypeStopsOnlyTheChannelStep) {
    Installation fixture;
    fixture.RegisterModule(32);
    fixture.InstallCitrix();
    Fixture::SetString(kView32, kChannelKey, L"DriverName", L"unsupported");
    Fixture::SetDword(kView32, kChannelKey, L"DriverNameWin32", 1);
    Testing::EventCapture capture;
    MachineMonitor()->Check();
    EXPECT_TRUE(capture.Contains(L"Successfully set channel DriverName from [unsupported] to Unsupported"));
    EXPECT_TRUE(capture.Contains(L"Successfully set channel DriverNameWin16 from [] to Unsupported"));
    EXPECT_TRUE(capture.Contains(L"Failed to create Citrix channel key error [Unable to convert STRING registry "
                                 L"value]"));
    // The later steps still ran.
    EXPECT_EQ(Fixture::StringOr(kView32, kIcaKey, L"VirtualDriverEx"), L"Thinwire3.0, ClientDrive, Veltrastone");
    EXPECT_TRUE(Fixture::Exists(fixture.CitrixCopy()));
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
        // Whole entries, blanks trimmed, case as stored: another driver that
        // only contains the name does not count.
        {L"A, Veltrastone ,B", L"A, Veltrastone ,B"},
        {L"VeltrastoneOld", L"VeltrastoneOld, Veltrastone"},
        {L"XVeltrastoneY", L"XVeltrastoneY, Veltrastone"},
        {L"A, veltrastone", L"A, veltrastone, Veltrastone"},
    };
    for (const auto& [before, after] : cases) {
        Fixture::SetString(kView32, kIcaKey, L"VirtualDriverEx", before);
        MachineMonitor()->AddVirtualDriver();
        EXPECT_EQ(Fixture::StringOr(kView32, kIcaKey, L"VirtualDriverEx"), after) << "from [" << before.size() << "]";
    }
    Fixture::DeleteKey(kView32, kIcaKey);
    MachineMonitor()->AddVirtualDriver();
    EXPECT_EQ(Fixture::StringOr(kView32, kIcaKey, L"VirtualDriverEx"), L"Veltrastone");
    Fixture::SetDword(kView32, kIcaKey, L"VirtualDriverEx", 9);
    Testing::EventCapture capture;
    MachineMonitor()->AddVirtualDriver();
    EXPECT_TRUE(capture.Contains(L"Failed to create ICA 3.0 key error [Unable to convert STRING registry value]"));
}

// A module that is gone or not registered, and a destination that is a
// folder: only the copy fails, the registry is repaired all the same.
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
    EXPECT_EQ(capture.Count(L"Failed to copy file from source [" + fixture.Module(32) + L"] destination [" +
                            fixture.CitrixCopy() + L"] error ["),
              1u);
    EXPECT_EQ(capture.Count(L"Failed to copy [" + fixture.Module(32) + L"] to [" + fixture.CitrixCopy() + L"] error ["),
              1u);
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
