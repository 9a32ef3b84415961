// Which monitors the host keeps: the session list comes through its session
// source, session events through HandleControl as the dispatcher delivers them.

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
#include "support/event_capture.h"

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

TEST_F(SessionOrchestration, EveryEventTypeStartsStopsOrIgnoresUntilShutDown) {
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
}

// NO_ERROR for the controls the service acts on, 120 for the rest; a shutdown saves, then reports stop-pending.
TEST_F(SessionOrchestration, ServiceControlsAnswerAsTheDispatcherExpects) {
    Testing::EventCapture capture;
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
