#include <gtest/gtest.h>

#include <windows.h>

#include <vector>

#include "registration/registration_fixture.h"
#include "service/service_host.h"
#include "support/child_process.h"
#include "support/installed_service.h"

namespace {

// The stop-pending reports another process sees until the service stops.
struct PendingReport {
    DWORD checkPoint, waitHint;
    ULONGLONG firstSeenMs, lastSeenMs;
};
std::vector<PendingReport> WatchStop(Testing::InstalledService& service) {
    std::vector<PendingReport> reports;
    const ULONGLONG start = GetTickCount64();
    for (SERVICE_STATUS_PROCESS status; (status = service.Query()).dwCurrentState != SERVICE_STOPPED &&
                                        GetTickCount64() - start < 30000;
         Sleep(10)) {
        if (status.dwCurrentState != SERVICE_STOP_PENDING) continue;
        if (reports.empty() || reports.back().checkPoint != status.dwCheckPoint) {
            reports.push_back({status.dwCheckPoint, status.dwWaitHint, GetTickCount64(), 0});
        }
        reports.back().lastSeenMs = GetTickCount64();
    }
    return reports;
}

}  // namespace

// The cleanup list is written just after the WorkSpaces copy.
TEST(ServiceUnderTheControlManager, StartsRegistersAndStopsInCyclesAndRightAfterAStart) {
    Fixture::Installation fixture;
    fixture.InstallAll();
    Testing::InstalledService service(L"\"" + Testing::ServiceExecutable() + L"\" -service");
    ASSERT_TRUE(service.Installed());
    for (int cycle = 0; cycle < 2; ++cycle) {
        Fixture::DeleteKey(Fixture::kView32, Fixture::kChannelKey);
        Fixture::DeleteKey(0, Fixture::kCleanupKey);
        DeleteFileW(fixture.WorkSpacesCopy().c_str());
        ASSERT_EQ(service.Start(), 0u) << "cycle " << cycle;
        ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING, 10000));
        const SERVICE_STATUS_PROCESS running = service.Query();
        EXPECT_EQ(running.dwControlsAccepted, 0x85u);
        EXPECT_TRUE(Fixture::WaitUntil([&] {
            return fixture.ChannelRepaired() && Fixture::Exists(fixture.CitrixCopy()) &&
                   Fixture::CleanupList() == fixture.WorkSpacesCopy();
        }));
        EXPECT_TRUE(Fixture::Exists(fixture.WorkSpacesCopy()));

        const Base::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, running.dwProcessId));
        if (cycle == 1) {
            // The machine's Citrix monitor is in its 5 s settling pause, which the stop waits for.
            Fixture::SetString(Fixture::kView32, Fixture::kIcaKey, L"VirtualDriverEx", L"Thinwire3.0");
            Sleep(1000);
        }
        EXPECT_EQ(service.Control(SERVICE_CONTROL_STOP), 0u);
        const std::vector<PendingReport> reports = WatchStop(service);
        ASSERT_TRUE(service.WaitForState(SERVICE_STOPPED, 10000));
        // Each check point is followed by the next report within its wait hint, as the manager requires.
        for (size_t i = 0; i < reports.size(); ++i) {
            EXPECT_LT(reports[i].lastSeenMs - reports[i].firstSeenMs, reports[i].waitHint) << reports[i].checkPoint;
            EXPECT_TRUE(i == 0 || reports[i].checkPoint > reports[i - 1].checkPoint);
        }
        EXPECT_TRUE(cycle == 0 || (!reports.empty() && reports.back().checkPoint >= 2));
        EXPECT_EQ(service.Query().dwWin32ExitCode, 0u);
        EXPECT_EQ(WaitForSingleObject(process.Get(), 10000), WAIT_OBJECT_0);
    }
    // The service reports running before it starts its parts: a stop right after the start lands while they start.
    ASSERT_EQ(service.Start(), 0u);
    EXPECT_TRUE(Testing::WaitUntil([&] { return service.Control(SERVICE_CONTROL_STOP) == 0; }, 10000));
    EXPECT_TRUE(service.WaitForState(SERVICE_STOPPED, 10000));
}

// No stop while starting, and check points only while a state is pending.
TEST(StatusRecord, StatesCarryTheirControlsAndCheckPoints) {
    const struct {
        DWORD state, waitHint, accepted, checkPoint;
    } reports[] = {
        {SERVICE_START_PENDING, 3000, 0x84, 0}, {SERVICE_RUNNING, 0, 0x85, 0}, {SERVICE_STOP_PENDING, 0, 0x85, 1},
        {SERVICE_STOP_PENDING, 0, 0x85, 2},     {SERVICE_STOPPED, 0, 0x85, 0},
    };
    uint32_t checkPoint = 0;
    for (const auto& report : reports) {
        const SERVICE_STATUS status = ServiceHost::BuildStatus(report.state, report.waitHint, checkPoint);
        EXPECT_EQ(status.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
        EXPECT_EQ(status.dwControlsAccepted, report.accepted) << report.state;
        EXPECT_EQ(status.dwCheckPoint, report.checkPoint) << report.state;
        EXPECT_EQ(status.dwWin32ExitCode + status.dwServiceSpecificExitCode, 0u);
    }
}
