#include <gtest/gtest.h>

#include <windows.h>

#include "registration/registration_fixture.h"
#include "service/service_host.h"
#include "support/child_process.h"
#include "support/installed_service.h"

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
        // Seen from here, check points only advance, each followed by the next report within its wait hint.
        DWORD checkPoint = 0, waitHint = 0;
        ULONGLONG since = GetTickCount64();
        for (SERVICE_STATUS_PROCESS s; (s = service.Query()).dwCurrentState == SERVICE_STOP_PENDING; Sleep(10)) {
            if (s.dwCheckPoint != checkPoint) {
                EXPECT_GT(s.dwCheckPoint, checkPoint);
                checkPoint = s.dwCheckPoint, waitHint = s.dwWaitHint, since = GetTickCount64();
            }
            ASSERT_LT(GetTickCount64() - since, waitHint) << "check point " << checkPoint;
        }
        EXPECT_TRUE(cycle == 0 || checkPoint >= 2) << "ServiceMain reports its own steps";
        ASSERT_TRUE(service.WaitForState(SERVICE_STOPPED, 10000));
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
    uint32_t checkPoint = 0;
    EXPECT_EQ(ServiceHost::BuildStatus(SERVICE_START_PENDING, 3000, checkPoint).dwControlsAccepted, 0x84u);
    EXPECT_EQ(ServiceHost::BuildStatus(SERVICE_RUNNING, 0, checkPoint).dwCheckPoint, 0u);
    EXPECT_EQ(ServiceHost::BuildStatus(SERVICE_STOP_PENDING, 0, checkPoint).dwCheckPoint, 1u);
    EXPECT_EQ(ServiceHost::BuildStatus(SERVICE_STOPPED, 0, checkPoint).dwCheckPoint, 0u);
}
