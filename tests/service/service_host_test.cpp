// The service host: under the real control manager, its status record, and
// which monitors it keeps (the session list comes through its session source,
// session events through HandleControl as the dispatcher delivers them).

#include <gtest/gtest.h>
#include <windows.h>
#include <wtsapi32.h>

#include <algorithm>
#include <thread>

#include "base/exception.h"
#include "base/object.h"
#include "registration/registration_fixture.h"
#include "registration/scoped_env.h"
#include "service/service_host.h"
#include "support/child_process.h"
#include "support/event_capture.h"
#include "support/installed_service.h"

namespace {

std::vector<SessionEntry> listedSessions;
DWORD failingSession;
DWORD enumerationError;

const SessionSource testSessions = {
    [](std::vector<SessionEntry>& sessions, DWORD& error) {
        error = enumerationError;
        if (error == 0) sessions = listedSessions;
        return error == 0;
    },
    [](DWORD sessionId) {
        if (sessionId == failingSession) throw Base::ExceptionWin32(ERROR_NO_TOKEN);
        return OpenCurrentProcessToken();
    }};

}  // namespace

class SessionOrchestration : public ::testing::Test {
protected:
    void SetUp() override {
        listedSessions.clear();
        failingSession = 0xFFFFFFF0;
        enumerationError = 0;
        ServiceTesting::SetSessionSource(&testSessions);
    }
    void TearDown() override {
        host.ShutDownMonitoring();
        ServiceTesting::SetSessionSource(nullptr);
        EXPECT_EQ(Base::Object::LiveObjectCount(), baseline);
    }

    DWORD Session(DWORD eventType, DWORD sessionId) {
        WTSSESSION_NOTIFICATION notification = {sizeof(notification), sessionId};
        return host.HandleControl(SERVICE_CONTROL_SESSIONCHANGE, eventType, &notification);
    }

    Fixture::Installation machine;  // keeps other processes' fixtures away while the host runs
    const int32_t baseline = Base::Object::LiveObjectCount();
    ServiceHost host;
};

// A list that fails is logged; a session whose token fails is skipped, and only that one.
TEST_F(SessionOrchestration, StartUpMonitorsActiveSessionsWhoseTokenItGets) {
    Testing::EventCapture capture;
    enumerationError = ERROR_ACCESS_DENIED;
    host.StartActiveSessionMonitoring();
    EXPECT_TRUE(capture.Contains(L"Failed to enumerate WTS sessions with error [5]"));
    EXPECT_TRUE(host.CitrixSessions().empty());
    enumerationError = 0;
    listedSessions = {{1, WTSActive}, {7, WTSActive}, {2, WTSDisconnected}, {3, WTSListen}, {4, WTSActive},
                      {5, WTSConnected}};
    failingSession = 7;
    host.StartActiveSessionMonitoring();
    EXPECT_EQ(host.CitrixSessions(), (std::vector<DWORD>{1, 4}));
    EXPECT_EQ(host.AmazonSessions(), (std::vector<DWORD>{1, 4}));
    EXPECT_EQ(capture.Count(L"Failed to start monitoring Citrix Per-User registration error ["), 2u);
    // A logon for a session already covered changes nothing; a failing token is logged.
    capture.Clear();
    EXPECT_EQ(Session(WTS_SESSION_LOGON, 4), 0u);
    EXPECT_EQ(capture.Count(L"created to monitor"), 0u);
    Session(WTS_REMOTE_CONNECT, 7);
    EXPECT_EQ(capture.Count(L"Failed to control Citrix and Amazon Per-User registration for session [7] error ["), 1u);
    EXPECT_EQ(host.CitrixSessions(), (std::vector<DWORD>{1, 4}));
    // The platform's own list (empty under this host) fails nothing.
    ServiceTesting::SetSessionSource(nullptr);
    capture.Clear();
    host.StartActiveSessionMonitoring();
    EXPECT_EQ(capture.Count(L"Failed"), 0u);
}

TEST_F(SessionOrchestration, EveryEventTypeStartsStopsOrIgnoresUntilShutDownAndEveryControlAnswers) {
    const DWORD id = 21;
    const std::vector<std::pair<DWORD, bool>> steps = {
        {WTS_SESSION_LOGON, true},     {WTS_SESSION_LOCK, false},    {WTS_SESSION_UNLOCK, true},
        {WTS_CONSOLE_DISCONNECT, false}, {WTS_CONSOLE_CONNECT, true}, {WTS_REMOTE_DISCONNECT, false},
        {WTS_REMOTE_CONNECT, true},    {WTS_SESSION_LOGOFF, false},
    };
    for (const auto& [eventType, monitored] : steps) {
        EXPECT_EQ(Session(eventType, id), 0u);
        EXPECT_EQ(host.CitrixSessions().size(), monitored ? 1u : 0u) << "event " << eventType;
        EXPECT_EQ(host.AmazonSessions().size(), monitored ? 1u : 0u) << "event " << eventType;
    }
    // Remote control, session create and terminate change nothing.
    Session(WTS_SESSION_LOGON, id);
    Testing::EventCapture capture;
    for (DWORD eventType : {9u, 10u, 11u, 12u}) EXPECT_EQ(Session(eventType, id), 0u);
    EXPECT_EQ(capture.Count(L"registration"), 0u);
    EXPECT_EQ(host.CitrixSessions().size(), 1u);
    // Once shutting down, session events start nothing.
    host.ShutDownMonitoring();
    Session(WTS_SESSION_LOGON, 2);
    Session(WTS_SESSION_UNLOCK, id);
    EXPECT_TRUE(host.CitrixSessions().empty());
    EXPECT_TRUE(host.AmazonSessions().empty());

    // NO_ERROR for the controls the service acts on, 120 for the rest; a shutdown saves, then reports stop-pending.
    capture.Clear();
    for (const auto& [control, result] : {std::pair<DWORD, DWORD>{SERVICE_CONTROL_INTERROGATE, 0}, {16, 120}, {99, 120},
                                          {SERVICE_CONTROL_SESSIONCHANGE, 0}}) {  // a session change without its record
        EXPECT_EQ(host.HandleControl(control, WTS_SESSION_LOGON, nullptr), result) << control;
    }
    EXPECT_EQ(WaitForSingleObject(host.StopEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(host.HandleControl(SERVICE_CONTROL_SHUTDOWN, 0, nullptr), 0u);
    EXPECT_EQ(WaitForSingleObject(host.StopEvent(), 0), WAIT_OBJECT_0);
    const auto lines = capture.Messages();
    const auto done = std::find(lines.begin(), lines.end(), L"Done saving Security Products to the registry on shutdown.");
    EXPECT_NE(std::find(done, lines.end(), L"state=3, exitCode=0, waitHint=10000"), lines.end());
    capture.Clear();
    EXPECT_EQ(host.HandleControl(SERVICE_CONTROL_STOP, 0, nullptr), 0u);
    EXPECT_TRUE(capture.Contains(L"state=3, exitCode=0, waitHint=10000"));
}

// That they repair is shown end to end by the installed service.
TEST_F(SessionOrchestration, MachineMonitorsWatchAfterAFailedFirstPassAndAStartReplacesThem) {
    ScopedEnv settle(L"KX_CITRIX_SETTLE_MS", L"20");
    machine.InstallAll();
    // A folder name the file system rejects: the first pass throws.
    Fixture::SetString(Fixture::kView32, Fixture::kInstallKey, L"InstallFolder", L"C:\\bad\x01|<>name");
    Testing::EventCapture capture;
    host.StartPerMachineMonitoring();
    EXPECT_EQ(capture.Count(L"Failed to monitor for Citrix Per-Machine registration error ["), 1u);
    machine.InstallCitrix();
    Fixture::SetString(Fixture::kView32, Fixture::kIcaKey, L"VirtualDriverEx", L"Thinwire3.0");
    EXPECT_TRUE(Testing::WaitUntil([&] { return machine.ChannelRepaired(); }, 15000));
    capture.Clear();
    // Counted once no pass of the repairing pair can still be running.
    host.StartPerMachineMonitoring();
    const int32_t running = Base::Object::LiveObjectCount();
    host.StartPerMachineMonitoring();
    EXPECT_EQ(Base::Object::LiveObjectCount(), running);  // the first pair is stopped and gone
    host.StopPerMachineMonitoring();
    EXPECT_FALSE(host.HasPerMachineMonitors());
    host.StopPerMachineMonitoring();  // nothing left to stop
    EXPECT_EQ(capture.Count(L"Failed"), 0u);
}

TEST_F(SessionOrchestration, StartAndStopRaceSessionEventsSafely) {
    listedSessions = {{1, WTSActive}, {2, WTSActive}};
    std::thread serviceThread([&] {
        for (int i = 0; i < 15; ++i) {
            host.StartPerMachineMonitoring();
            host.StartActiveSessionMonitoring();
            host.StopAllPerUserMonitoring();
            host.StopPerMachineMonitoring();
        }
    });
    for (int i = 0; i < 60; ++i) Session(i % 2 ? WTS_SESSION_LOCK : WTS_SESSION_UNLOCK, 1 + i % 3);
    serviceThread.join();
    host.StopAllPerUserMonitoring();
    EXPECT_TRUE(host.CitrixSessions().empty());
    EXPECT_TRUE(host.AmazonSessions().empty());
}

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
