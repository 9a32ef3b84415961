#include <windows.h>

#include <chrono>

#include "autoupdate/update_rpc_names.h"
#include "autoupdate/update_rpc_server.h"
#include "base/com_apartment_guard.h"
#include "base/exception.h"
#include "base/log.h"
#include "security/security_products_cache.h"
#include "service/service_host.h"

namespace {

constexpr DWORD kAcceptedWhileStarting = SERVICE_ACCEPT_SESSIONCHANGE | SERVICE_ACCEPT_SHUTDOWN;  // 0x84
constexpr DWORD kAccepted = kAcceptedWhileStarting | SERVICE_ACCEPT_STOP;                          // 0x85
constexpr DWORD kStartPendingWaitHint = 3000;
// The longest one step of a stop may take before the next report: stopping a
// registration monitor waits for its running pass, a 5 s settling pause and a repair.
constexpr DWORD kStopStepWaitHint = 10000;
constexpr DWORD kApartmentThreaded = COINIT_APARTMENTTHREADED;
constexpr DWORD kTimeChangeControl = 16;

// 100 ns units since 1970-01-01 UTC, as the runtime library's system clock gives it.
int64_t SystemClockNow() {
    using namespace std::chrono;
    return duration_cast<duration<int64_t, std::ratio<1, 10000000>>>(system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

SERVICE_STATUS ServiceHost::BuildStatus(DWORD state, DWORD waitHint, uint32_t& checkPoint) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_START_PENDING ? kAcceptedWhileStarting : kAccepted;
    status.dwWin32ExitCode = 0;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : checkPoint++;
    status.dwWaitHint = waitHint;
    return status;
}

void ServiceHost::SetServiceState(DWORD state, DWORD waitHint) {
    LogEnter(L"state=%u, exitCode=%u, waitHint=%u", state, 0u, waitHint);
    {
        // Both threads report during a stop: check points must reach the manager in order.
        std::lock_guard<std::mutex> guard(statusLock);
        SERVICE_STATUS status = BuildStatus(state, waitHint, checkPoint);
        if (statusHandle != nullptr) SetServiceStatus(statusHandle, &status);
    }
    LogExit(nullptr);
}

void ServiceHost::ReportStopProgress() { SetServiceState(SERVICE_STOP_PENDING, kStopStepWaitHint); }

void WINAPI ServiceHost::ServiceMainEntry(DWORD argc, LPWSTR* argv) { Instance().ServiceMain(argc, argv); }

DWORD WINAPI ServiceHost::ControlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID) {
    return Instance().HandleControl(control, eventType, eventData);
}

void ServiceHost::ServiceMain(DWORD, LPWSTR*) {
    LogEnter(nullptr);
    LogInfo(L"Starting Veltrastone Client Service");
    statusHandle = RegisterServiceCtrlHandlerExW(L"", &ServiceHost::ControlHandler, nullptr);
    if (statusHandle == nullptr) {
        LogError(L"Call to RegisterServiceCtrlHandler returned NULL. Error code is %u", GetLastError());
        LogExit(nullptr);
        return;
    }
    SetServiceState(SERVICE_START_PENDING, kStartPendingWaitHint);
    SetServiceState(SERVICE_RUNNING, 0);
    LogVerbose(L"Client Service is starting...");
    StartPerMachineMonitoring();
    StartActiveSessionMonitoring();
    LogVerbose(L"Client Service has done starting.");
    StartListening(kServiceRpcEndpoint);
    LogInfo(L"Veltrastone Client Service process listening for instructions...");
    WaitForSingleObject(stopEvent.Get(), INFINITE);
    LogInfo(L"Veltrastone Client Service process completed");
    StopListening();
    LogVerbose(L"Client Service is shutting down...");
    ShutDownMonitoring();
    LogVerbose(L"Client Service has done shutting down.");
    SetServiceState(SERVICE_STOPPED, 0);
    LogInfo(L"Veltrastone Client Service Stopped");
    LogExit(nullptr);
}

DWORD ServiceHost::HandleControl(DWORD control, DWORD eventType, void* eventData) {
    LogEnter(L"control [%lu] event [%lu]", control, eventType);
    // Handled controls answer NO_ERROR: the manager passes any other answer
    // back to whoever sent the control as a failure.
    DWORD result = NO_ERROR;
    switch (control) {
    case SERVICE_CONTROL_STOP:
        LogEnter(nullptr);
        ReportStopProgress();
        SetEvent(stopEvent.Get());
        LogExit(nullptr);
        break;
    case SERVICE_CONTROL_INTERROGATE:
        break;
    case SERVICE_CONTROL_SHUTDOWN: {
        LogEnter(nullptr);
        LogVerbose(L"Saving Security Products to the registry on shutdown...");
        ComApartmentGuard apartment(kApartmentThreaded);
        SaveSecurityProducts(SystemClockNow());
        LogVerbose(L"Done saving Security Products to the registry on shutdown.");
        ReportStopProgress();
        SetEvent(stopEvent.Get());
        LogExit(nullptr);
        break;
    }
    case SERVICE_CONTROL_SESSIONCHANGE: {
        // The notification record holds the size first and the session id second.
        const auto* notification = static_cast<const WTSSESSION_NOTIFICATION*>(eventData);
        OnSessionChange(eventType, notification != nullptr ? notification->dwSessionId : 0);
        break;
    }
    case kTimeChangeControl:
        OnTimeChange();
        result = ERROR_CALL_NOT_IMPLEMENTED;
        break;
    default:
        LogVerbose(L"Unhandled service control event, with dwControl=%u", control);
        result = ERROR_CALL_NOT_IMPLEMENTED;
        break;
    }
    LogExit(L"%u", result);
    return result;
}

void ServiceHost::OnSessionChange(DWORD eventType, DWORD sessionId) {
    LogVerbose(L"Handling session change notification [%lu] for session [%lu]", eventType, sessionId);
    try {
        switch (eventType) {
        case WTS_CONSOLE_CONNECT:
        case WTS_REMOTE_CONNECT:
        case WTS_SESSION_LOGON:
        case WTS_SESSION_UNLOCK:
            StartPerUserMonitoring(sessionId, OpenSessionUserToken(sessionId));
            break;
        case WTS_CONSOLE_DISCONNECT:
        case WTS_REMOTE_DISCONNECT:
        case WTS_SESSION_LOGOFF:
        case WTS_SESSION_LOCK:
            StopPerUserMonitoring(sessionId);
            break;
        default:
            break;
        }
    } catch (const Base::Exception& e) {
        LogError(L"Failed to control Citrix and Amazon Per-User registration for session [%lu] error [%S]",
                 sessionId, e.what());
    }
    if (eventType == WTS_SESSION_LOGOFF) {
        LogVerbose(L"Saving Security Products to the registry on logoff...");
        ComApartmentGuard apartment(kApartmentThreaded);
        SaveSecurityProducts(SystemClockNow());
        LogVerbose(L"Done saving Security Products to the registry on logoff.");
    }
}
