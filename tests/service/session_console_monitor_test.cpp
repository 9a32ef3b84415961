// The monitors in the real executable: the "-monitor" console test and the
// service started by the Service Control Manager, against the simulated
// Citrix and WorkSpaces installations.

#include <gtest/gtest.h>

#include "registration/registration_fixture.h"
#include "support/child_process.h"
#include "support/installed_service.h"

using Fixture::Installation;

namespace {

std::wstring Command(const std::wstring& arguments) {
    return L"\"" + Testing::ServiceExecutable() + L"\" " + arguments;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

}  // namespace

TEST(MonitorTestMode, RegistersWithBothClientsAndRepairsWhileSleeping) {
    Installation fixture;
    fixture.InstallAll();
    Testing::ChildProcess child(Command(L"-monitor -v"),
                                L"KX_MONITOR_TEST_MS=4000\nKX_CITRIX_SETTLE_MS=20\nKX_CITRIX_WAIT_MS=500\n"
                                L"KX_AMAZON_INTERVAL_MS=200");
    ASSERT_TRUE(child.Started());
    ASSERT_TRUE(child.WaitForOutput("Sleeping for 5 minutes...\n", 30000)) << child.Output();
    EXPECT_TRUE(fixture.ChannelRepaired());
    // A change made by another process is noticed and repaired.
    Fixture::DeleteKey(Fixture::kView32, Fixture::kChannelKey);
    EXPECT_TRUE(Fixture::WaitUntil([&] { return fixture.ChannelRepaired(); }));
    DeleteFileW(fixture.WorkSpacesCopy().c_str());
    EXPECT_TRUE(Fixture::WaitUntil([&] { return Fixture::Exists(fixture.WorkSpacesCopy()); }));
    EXPECT_EQ(child.Wait(60000), 0u);
    const std::string output = child.Output();
    const char* steps[] = {"Listening for Citrix and Amazon Registration for per-machine...\n",
                           "Listening for Citrix and Amazon Registration for per-user...\n",
                           "Sleeping for 5 minutes...\n",
                           "Stopping listening for Citrix and Amazon Registration issues.\n"};
    size_t at = 0;
    for (const char* step : steps) {
        const size_t found = output.find(step, at);
        ASSERT_NE(found, std::string::npos) << step << output;
        at = found;
    }
    EXPECT_NE(output.find("Successfully set channel DriverNameWin32 from [] to kxclient.dll"), std::string::npos);
    EXPECT_NE(output.find("Successfully copied [" + Narrow(fixture.Module(32)) + "] to [" +
                          Narrow(fixture.CitrixCopy()) + "]"),
              std::string::npos);
    EXPECT_NE(output.find("Successfully copied [" + Narrow(fixture.Module(64)) + "] to [" +
                          Narrow(fixture.WorkSpacesCopy()) + "]"),
              std::string::npos);
    EXPECT_NE(output.find("detected changes to module path"), std::string::npos);
    EXPECT_EQ(output.find("ERROR"), std::string::npos) << output;
}

TEST(ServiceRun, StartedServiceRegistersAndStops) {
    Installation fixture;
    fixture.InstallAll();
    Testing::InstalledService service(Command(L"-service"));
    ASSERT_EQ(service.Start(), 0u);
    // The service's first pass writes the channel and copies both modules; the
    // cleanup list is written just after the WorkSpaces copy.
    EXPECT_TRUE(Fixture::WaitUntil([&] {
        return fixture.ChannelRepaired() && Fixture::Exists(fixture.CitrixCopy()) &&
               Fixture::StringOr(0, Fixture::kCleanupKey, Fixture::kCleanupValue) == fixture.WorkSpacesCopy();
    }));
    EXPECT_TRUE(Fixture::Exists(fixture.WorkSpacesCopy()));
    EXPECT_EQ(service.Control(SERVICE_CONTROL_STOP), 0u);
    EXPECT_TRUE(service.WaitForState(SERVICE_STOPPED, 10000));
}
