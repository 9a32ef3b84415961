// Which registration monitors exist: one Citrix and one Amazon WorkSpaces
// monitor for the machine for the life of the service, and one of each for
// every active session. Each kind is handled on its own, so a failure of one
// never keeps the other from starting or stopping; no failure leaves these
// operations. The two kinds differ only in their class and their name.

#include <windows.h>
#include <wtsapi32.h>

#include <atomic>
#include <set>

#include "base/exception.h"
#include "base/log.h"
#include "base/unique_any.h"
#include "service/service_host.h"

namespace {

using UniqueWtsMemory = Base::UniqueAny<Base::NullHandleTraits<WTS_SESSION_INFOW*, WTSFreeMemory>>;

bool EnumeratePlatformSessions(std::vector<SessionEntry>& sessions, DWORD& error) {
    UniqueWtsMemory list;
    DWORD count = 0;
    if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, list.Put(), &count)) {
        error = GetLastError();
        return false;
    }
    for (DWORD i = 0; i < count; ++i) {
        sessions.push_back({list.Get()[i].SessionId, static_cast<DWORD>(list.Get()[i].State)});
    }
    return true;
}

std::atomic<const SessionSource*> testSource{nullptr};

// The kinds as the trace names them.
const wchar_t kCitrix[] = L"Citrix";
const wchar_t kAmazon[] = L"Amazon";

template <typename Monitor>
void StartMachineMonitor(Base::Ref<Monitor>& monitor, const wchar_t* kind) {
    // Step by step: watching starts whatever the first pass met, since the
    // machine's monitor starts only once and a later pass may find the
    // installation mended.
    const auto step = [kind](auto&& action) {
        try {
            action();
            return true;
        } catch (const Base::Exception& e) {
            LogError(L"Failed to monitor for %s Per-Machine registration error [%S]", kind, e.what());
            return false;
        }
    };
    if (!step([&] { monitor = Base::MakeRef<Monitor>(RegistryKey::Root(HKEY_LOCAL_MACHINE)); })) return;
    step([&] { monitor->Check(); });
    step([&] { monitor->StartMonitoring(); });
}

template <typename Monitor>
void StopMachineMonitor(Base::Ref<Monitor>& monitor, const wchar_t* kind) {
    if (!monitor) return;
    try {
        monitor->StopMonitoring();
        monitor.Reset();
    } catch (const Base::Exception& e) {
        LogError(L"Failed to stop monitoring for %s Per-Machine registration error [%S]", kind, e.what());
    }
}

template <typename Monitor>
void StartUserMonitor(std::map<DWORD, Base::Ref<Monitor>>& monitors, DWORD sessionId,
                      const Base::Ref<Base::AccessToken>& token, const wchar_t* kind) {
    if (monitors.count(sessionId) != 0) {
        LogVerbose(L"Ignoring monitoring %s Per-User registration in already existing session [%lu]", kind, sessionId);
        return;
    }
    try {
        const auto monitor = Monitor::CreateForUser(token);
        monitor->Check();
        monitor->StartMonitoring();
        monitors.emplace(sessionId, monitor);
    } catch (const Base::Exception& e) {
        LogError(L"Failed to start monitoring %s Per-User registration in session [%lu] error [%S]", kind, sessionId,
                 e.what());
    }
}

template <typename Monitor>
void StopUserMonitor(std::map<DWORD, Base::Ref<Monitor>>& monitors, DWORD sessionId, const wchar_t* kind) {
    const auto found = monitors.find(sessionId);
    if (found == monitors.end()) {
        LogVerbose(L"Ignoring stop monitoring for %s Per-User registration since not monitoring session [%lu]", kind,
                   sessionId);
        return;
    }
    try {
        found->second->StopMonitoring();
        monitors.erase(found);
    } catch (const Base::Exception& e) {
        LogError(L"Failed to stop monitoring for %s Per-User registration in session [%lu] error [%S]", kind,
                 sessionId, e.what());
    }
}

template <typename Monitor>
std::vector<DWORD> SessionsOf(const std::map<DWORD, Base::Ref<Monitor>>& monitors) {
    std::vector<DWORD> sessions;
    for (const auto& entry : monitors) sessions.push_back(entry.first);
    return sessions;
}

}  // namespace

void ServiceTesting::SetSessionSource(const SessionSource* source) { testSource.store(source); }

Base::Ref<Base::AccessToken> OpenSessionUserToken(DWORD sessionId) {
    const SessionSource* source = testSource.load();
    if (source != nullptr && source->openToken != nullptr) return source->openToken(sessionId);
    return OpenSessionToken(sessionId);
}

void ServiceHost::StartPerMachineMonitoring() {
    std::lock_guard<std::recursive_mutex> guard(monitorLock);
    LogEnter(nullptr);
    StopPerMachineMonitoring();
    StartMachineMonitor(citrixPerMachine, kCitrix);
    StartMachineMonitor(amazonPerMachine, kAmazon);
    LogExit(nullptr);
}

void ServiceHost::StopPerMachineMonitoring() {
    std::lock_guard<std::recursive_mutex> guard(monitorLock);
    LogEnter(nullptr);
    StopMachineMonitor(citrixPerMachine, kCitrix);
    StopMachineMonitor(amazonPerMachine, kAmazon);
    LogExit(nullptr);
}

void ServiceHost::StartActiveSessionMonitoring() {
    std::lock_guard<std::recursive_mutex> guard(monitorLock);
    LogEnter(nullptr);
    const wchar_t* const failed = L"Failed to start monitoring Citrix Per-User registration error [%S]";
    try {
        const SessionSource* source = testSource.load();
        const auto enumerate =
            source != nullptr && source->enumerate != nullptr ? source->enumerate : &EnumeratePlatformSessions;
        std::vector<SessionEntry> sessions;
        DWORD error = 0;
        if (!enumerate(sessions, error)) {
            LogError(L"Failed to enumerate WTS sessions with error [%lu]", error);
            throw Base::ExceptionWin32(error);
        }
        for (const SessionEntry& session : sessions) {
            if (session.state != WTSActive) {
                LogVerbose(L"Ignoring monitoring Citrix Per-User registration in in-active session [%lu] state [%lu]",
                           session.sessionId, session.state);
                continue;
            }
            // One session is one item: a user whose token cannot be had does
            // not keep the users of later sessions waiting for their next event.
            try {
                StartPerUserMonitoring(session.sessionId, OpenSessionUserToken(session.sessionId));
            } catch (const Base::Exception& e) {
                LogError(failed, e.what());
            }
        }
    } catch (const Base::Exception& e) {
        LogError(failed, e.what());
    }
    LogExit(nullptr);
}

void ServiceHost::StartPerUserMonitoring(DWORD sessionId, const Base::Ref<Base::AccessToken>& token) {
    std::lock_guard<std::recursive_mutex> guard(monitorLock);
    LogEnter(nullptr);
    if (shuttingDown) {
        // Nothing would stop these any more.
        LogVerbose(L"Ignoring monitoring Per-User registration in session [%lu] while the service stops", sessionId);
    } else {
        StartUserMonitor(citrixPerUser, sessionId, token, kCitrix);
        StartUserMonitor(amazonPerUser, sessionId, token, kAmazon);
    }
    LogExit(nullptr);
}

void ServiceHost::StopPerUserMonitoring(DWORD sessionId) {
    std::lock_guard<std::recursive_mutex> guard(monitorLock);
    LogEnter(nullptr);
    StopUserMonitor(citrixPerUser, sessionId, kCitrix);
    StopUserMonitor(amazonPerUser, sessionId, kAmazon);
    LogExit(nullptr);
}

std::set<DWORD> ServiceHost::MonitoredSessions() {
    std::set<DWORD> sessions;
    for (const auto& entry : citrixPerUser) sessions.insert(entry.first);
    for (const auto& entry : amazonPerUser) sessions.insert(entry.first);
    return sessions;
}

void ServiceHost::StopAllPerUserMonitoring() {
    std::lock_guard<std::recursive_mutex> guard(monitorLock);
    LogEnter(nullptr);
    for (DWORD sessionId : MonitoredSessions()) StopPerUserMonitoring(sessionId);
    LogExit(nullptr);
}

void ServiceHost::ShutDownMonitoring() {
    std::lock_guard<std::recursive_mutex> guard(monitorLock);
    shuttingDown = true;
    // Each stop may wait for a monitor's running pass: one check point each.
    for (DWORD sessionId : MonitoredSessions()) {
        ReportStopProgress();
        StopPerUserMonitoring(sessionId);
    }
    ReportStopProgress();
    StopPerMachineMonitoring();
}

std::vector<DWORD> ServiceHost::CitrixSessions() {
    std::lock_guard<std::recursive_mutex> guard(monitorLock);
    return SessionsOf(citrixPerUser);
}

std::vector<DWORD> ServiceHost::AmazonSessions() {
    std::lock_guard<std::recursive_mutex> guard(monitorLock);
    return SessionsOf(amazonPerUser);
}

bool ServiceHost::HasPerMachineMonitors() {
    std::lock_guard<std::recursive_mutex> guard(monitorLock);
    return citrixPerMachine && amazonPerMachine;
}
