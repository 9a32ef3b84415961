#pragma once
// ServiceHost is the one process-wide object of the service host. It reads the
// command line and runs one of four modes: the Windows service ("-service"),
// the stand-alone auto-update worker ("-autoupdate"), the five-minute
// registration monitor test ("-monitor"), or a console run that only honours
// the "-pos"/"-poe" key waits.
//
// In service mode the platform's dispatcher calls ServiceMain on a thread of
// its own and delivers controls to HandleControl on the main thread; the
// manual-reset stop event is the hand-over between the two.

#include <windows.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/access_token.h"
#include "base/object.h"
#include "base/unique_any.h"
#include "registration/amazon_client_registration.h"
#include "registration/citrix_client_registration.h"

// One terminal-services session as the platform lists it.
struct SessionEntry {
    DWORD sessionId;
    DWORD state;  // WTS_CONNECTSTATE_CLASS; 0 is active
};

// Where the host learns about sessions: the platform's session list and the
// token of a session's user. Tests present their own sessions through
// ServiceTesting::SetSessionSource; null functions mean the platform's.
struct SessionSource {
    // False with a Win32 error code when the sessions cannot be listed.
    bool (*enumerate)(std::vector<SessionEntry>& sessions, DWORD& error) = nullptr;
    Base::Ref<Base::AccessToken> (*openToken)(DWORD sessionId) = nullptr;
};

namespace ServiceTesting {
// Null restores the platform's source.
void SetSessionSource(const SessionSource* source);
}  // namespace ServiceTesting

// The user token of a session, through the current session source.
Base::Ref<Base::AccessToken> OpenSessionUserToken(DWORD sessionId);

class ServiceHost {
public:
    ServiceHost();
    ServiceHost(const ServiceHost&) = delete;
    ServiceHost& operator=(const ServiceHost&) = delete;

    virtual void OnTimeChange();
    virtual ~ServiceHost();

    static ServiceHost& Instance();

    void Run(const std::wstring& commandLine);

    // Service life cycle.
    void ServiceMain(DWORD argc, LPWSTR* argv);
    DWORD HandleControl(DWORD control, DWORD eventType, void* eventData);
    void OnSessionChange(DWORD eventType, DWORD sessionId);
    void SetServiceState(DWORD state, DWORD waitHint);
    // Stop-pending with the next check point, before each step of a stop.
    void ReportStopProgress();

    // Which monitors exist: per machine for the service's life, per user for
    // each active session. All of these run under the host lock.
    void StartPerMachineMonitoring();
    void StopPerMachineMonitoring();
    void StartActiveSessionMonitoring();
    void StartPerUserMonitoring(DWORD sessionId, const Base::Ref<Base::AccessToken>& token);
    void StopPerUserMonitoring(DWORD sessionId);
    void StopAllPerUserMonitoring();
    // Stops every monitor for good, reporting stop progress before each
    // session's and the machine's: session events handled afterwards start nothing.
    void ShutDownMonitoring();

    // Sessions that have a monitor of each kind, ascending; for diagnosis.
    std::vector<DWORD> CitrixSessions();
    std::vector<DWORD> AmazonSessions();
    bool HasPerMachineMonitors();

    HANDLE StopEvent() const { return stopEvent.Get(); }
    const std::wstring& CommandLine() const { return commandLine; }

    // The status record sent for a state; advances the check point where the
    // state carries one.
    static SERVICE_STATUS BuildStatus(DWORD state, DWORD waitHint, uint32_t& checkPoint);

private:
    static void WINAPI ServiceMainEntry(DWORD argc, LPWSTR* argv);
    static DWORD WINAPI ControlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

    void RunConsole();
    void RunAutoUpdateWorker();
    void RunMonitorTest();
    std::set<DWORD> MonitoredSessions();

    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    std::wstring commandLine;
    uint32_t checkPoint = 0;
    std::mutex statusLock;
    Base::UniqueHandle stopEvent;
    // Monitors, reached from ServiceMain's thread and the control handler's;
    // every operation on them holds monitorLock for its whole length.
    std::map<DWORD, Base::Ref<Citrix::ClientRegistrationWin32>> citrixPerUser;
    std::map<DWORD, Base::Ref<Amazon::ClientRegistrationWin32>> amazonPerUser;
    Base::Ref<Citrix::ClientRegistrationWin32> citrixPerMachine;
    Base::Ref<Amazon::ClientRegistrationWin32> amazonPerMachine;
    bool shuttingDown = false;
    std::recursive_mutex monitorLock;
};
