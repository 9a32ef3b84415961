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

TEST(CitrixCheck, NotInstalledWritesAndCopiesNothing) {
    Installation fixture;
    fixture.RegisterModule(32);
    Testing::EventCapture capture;
    MachineMonitor()->Check();
    EXPECT_TRUE(capture.Contains(L"Failed to find Citrix installation folder within the registry"));
    EXPECT_TRUE(capture.Contains(L"Citrix Registration determined Citrix is not installed"));
    EXPECT_FALSE(Fixture::KeyExists(kView32, kChannelKey));
    // An installation folder that is gone counts as not installed too.
    Fixture::SetString(kView32, Fixture::kInstallKey, L"InstallFolder", fixture.Root() + L"\\gone");
    capture.Clear();
    MachineMonitor()->Check();
    EXPECT_TRUE(capture.Contains(L"Citrix Registration determined Citrix is not installed"));
    EXPECT_FALSE(Fixture::KeyExists(kView32, kChannelKey));
    EXPECT_FALSE(Fixture::Exists(fixture.CitrixCopy()));
}

TEST(CitrixCheck, RepairsChannelDriverListAndModuleThenFindsNothingToDo) {
    Installation fixture;
    fixture.RegisterModule(32);
    fixture.RegisterModule(64);
    fixture.InstallCitrix();
    Testing::EventCapture capture;
    const auto monitor = MachineMonitor();
    monitor->Check();
    EXPECT_TRUE(fixture.ChannelRepaired());
    EXPECT_EQ(Fixture::StringOr(kView32, kIcaKey, L"VirtualDriverEx"), L"Thinwire3.0, ClientDrive, Veltrastone");
    EXPECT_TRUE(capture.Contains(L"Successfully set channel DriverName from [] to Unsupported"));
    EXPECT_TRUE(capture.Contains(L"Successfully set channel DriverNameWin16 from [] to Unsupported"));
    EXPECT_TRUE(capture.Contains(L"Successfully set channel DriverNameWin32 from [] to kxclient.dll"));
    EXPECT_TRUE(capture.Contains(L"Successfully set ICA 3.0 VirtualDriverEx from [Thinwire3.0, ClientDrive] to "
                                 L"[Thinwire3.0, ClientDrive, Veltrastone]"));
    EXPECT_TRUE(capture.Contains(L"Successfully copied [" + fixture.Module(32) + L"] to [" + fixture.CitrixCopy() +
                                 L"]"));
    // The 32-bit build is the one copied.
    EXPECT_EQ(Fixture::FileSize(fixture.CitrixCopy()), Fixture::FileSize(fixture.Module(32)));
    // Nothing is written into the 64-bit view.
    EXPECT_FALSE(Fixture::KeyExists(0, L"SOFTWARE\\Citrix\\ICA Client"));

    capture.Clear();
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

TEST(CitrixCheck, MissingModuleFileIsReportedAndRegistryRepairStillHappens) {
    Installation fixture;
    const std::wstring gone = fixture.Root() + L"\\gone\\kxclient.dll";
    fixture.RegisterModulePath(32, gone);
    fixture.InstallCitrix();
    Testing::EventCapture capture;
    MachineMonitor()->Check();
    EXPECT_TRUE(capture.Contains(L"Client [" + gone + L"] does not exist"));
    EXPECT_TRUE(fixture.ChannelRepaired());
    // Not registered at all: the same line with an empty path.
    Fixture::DeleteKey(kView32, Fixture::kModuleClsid);
    capture.Clear();
    MachineMonitor()->CopyClientModule();
    EXPECT_TRUE(capture.Contains(L"Client [] does not exist"));
}

TEST(CitrixCheck, DestinationThatIsAFolderFailsTheCopyOnly) {
    Installation fixture;
    fixture.RegisterModule(32);
    fixture.InstallCitrix();
    CreateDirectoryW(fixture.CitrixCopy().c_str(), nullptr);
    Testing::EventCapture capture;
    MachineMonitor()->Check();
    EXPECT_EQ(capture.Count(L"Failed to copy file from source [" + fixture.Module(32) + L"] destination [" +
                            fixture.CitrixCopy() + L"] error ["),
              1u);
    EXPECT_EQ(capture.Count(L"Failed to copy [" + fixture.Module(32) + L"] to [" + fixture.CitrixCopy() + L"] error ["),
              1u);
    EXPECT_TRUE(fixture.ChannelRepaired());
}

TEST(CitrixCheck, HostileInstallFolderIsContained) {
    Installation fixture;
    fixture.RegisterModule(32);
    Fixture::SetDword(kView32, Fixture::kInstallKey, L"InstallFolder", 5);
    Testing::EventCapture capture;
    MachineMonitor()->Check();
    EXPECT_TRUE(capture.Contains(L"Failed to open Citrix installation folder error [Unable to convert STRING registry "
                                 L"value]"));
    EXPECT_TRUE(capture.Contains(L"Citrix Registration determined Citrix is not installed"));
    Fixture::SetString(kView32, Fixture::kInstallKey, L"InstallFolder", std::wstring(5000, L'x'));
    MachineMonitor()->Check();  // must not crash
    EXPECT_FALSE(Fixture::KeyExists(kView32, kChannelKey));
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
