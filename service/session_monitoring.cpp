// Which registration monitors exist: one Citrix and one Amazon WorkSpaces
// monitor for the machine for the life of the service, and one of each for
// every active session. Each kind is handled on its own, so a failure of one
// never keeps the other from starting or stopping; no failure leaves these
// operations.

#include <windows.h>
#include <wtsapi32.h>

#include <atomic>
#include <set>

#include "base/exception.h"
#include "base/log.h"
#include "service/service_host.h"

namespace {

bool EnumeratePlatformSessions(std::vector<SessionEntry>& sessions, DWORD& error) {
    WTS_SESSION_INFOW* list = nullptr;
    DWORD count = 0;
    if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &list, &count)) {
        error = GetLastError();
        return false;
    }
    for (DWORD i = 0; i < count; ++i) sessions.push_back({list[i].SessionId, static_cast<DWORD>(list[i].State)});
    WTSFreeMemory(list);
    return true;
}

std::atomic<const SessionSource*> testSource{nullptr};

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
    try {
        citrixPerMachine = Base::MakeRef<Citrix::ClientRegistrationWin32>(RegistryKey::Root(HKEY_LOCAL_MACHINE));
        citrixPerMachine->Check();
        citrixPerMachine->StartMonitoring();
    } catch (const Base::Exception& e) {
        LogError(L"Failed to monitor for Citrix Per-Machine registration error [%S]", e.what());
    }
    try {
        amazonPerMachine = Base::MakeRef<Amazon::ClientRegistrationWin32>(RegistryKey::Root(HKEY_LOCAL_MACHINE));
        amazonPerMachine->Check();
        amazonPerMachine->StartMonitoring();
    } catch (const Base::Exception& e) {
        LogError(L"Failed to monitor for Amazon Per-Machine registration error [%S]", e.what());
    }
    LogExit(nullptr);
}

void ServiceHost::StopPerMachineMonitoring() {
    std::lock_guard<std::recursive_mutex> guard(monitorLock);
    LogEnter(nullptr);
    if (citrixPerMachine) {
        try {
            citrixPerMachine->StopMonitoring();
            citrixPerMachine.Reset();
        } catch (const Base::Exception& e) {
            LogError(L"Failed to stop monitoring for Citrix Per-Machine registration error [%S]", e.what());
        }
    }
    if (amazonPerMachine) {
        try {
            amazonPerMachine->StopMonitoring();
            amazonPerMachine.Reset();
        } catch (const Base::Exception& e) {
            LogError(L"Failed to stop monitoring for Amazon Per-Machine registration error [%S]", e.what());
        }
    }
    LogExit(nullptr);
}

void ServiceHost::StartActiveSessionMonitoring() {
    std::lock_guard<std::recursive_mutex> guard(monitorLock);
    LogEnter(nullptr);
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
            StartPerUserMonitoring(session.sessionId, OpenSessionUserToken(session.sessionId));
        }
    } catch (const Base::Exception& e) {
        LogError(L"Failed to start monitoring Citrix Per-User registration error [%S]", e.what());
    }
    LogExit(nullptr);
}

void ServiceHost::StartPerUserMonitoring(DWORD sessionId, const Base::Ref<Base::AccessToken>& token) {
    std::lock_guard<std::recursive_mutex> guard(monitorLock);
    LogEnter(nullptr);
    if (citrixPerUser.count(sessionId) != 0) {
        LogVerbose(L"Ignoring monitoring Citrix Per-User registration in already existing session [%lu]", sessionId);
    } else {
        try {
            const auto monitor = Citrix::ClientRegistrationWin32::CreateForUser(token);
            monitor->Check();
            monitor->StartMonitoring();
            citrixPerUser.emplace(sessionId, monitor);
        } catch (const Base::Exception& e) {
            LogError(L"Failed to start monitoring Citrix Per-User registration in session [%lu] error [%S]",
                     sessionId, e.what());
        }
    }
    if (amazonPerUser.count(sessionId) != 0) {
        LogVerbose(L"Ignoring monitoring Amazon Per-User registration in already existing session [%lu]", sessionId);
    } else {
        try {
            const auto monitor = Amazon::ClientRegistrationWin32::CreateForUser(token);
            monitor->Check();
            monitor->StartMonitoring();
            amazonPerUser.emplace(sessionId, monitor);
        } catch (const Base::Exception& e) {
            LogError(L"Failed to start monitoring Amazon Per-User registration in session [%lu] error [%S]",
                     sessionId, e.what());
        }
    }
    LogExit(nullptr);
}

void ServiceHost::StopPerUserMonitoring(DWORD sessionId) {
    std::lock_guard<std::recursive_mutex> guard(monitorLock);
    LogEnter(nullptr);
    const auto citrix = citrixPerUser.find(sessionId);
    if (citrix == citrixPerUser.end()) {
        LogVerbose(L"Ignoring stop monitoring for Citrix Per-User registration since not monitoring session [%lu]",
                   sessionId);
    } else {
        try {
            citrix->second->StopMonitoring();
            citrixPerUser.erase(citrix);
        } catch (const Base::Exception& e) {
            LogError(L"Failed to stop monitoring for Citrix Per-User registration in session [%lu] error [%S]",
                     sessionId, e.what());
        }
    }
    const auto amazon = amazonPerUser.find(sessionId);
    if (amazon == amazonPerUser.end()) {
        LogVerbose(L"Ignoring stop monitoring for Amazon Per-User registration since not monitoring session [%lu]",
                   sessionId);
    } else {
        try {
            amazon->second->StopMonitoring();
            amazonPerUser.erase(amazon);
        } catch (const Base::Exception& e) {
            LogError(L"Failed to stop monitoring for Amazon Per-User registration in session [%lu] error [%S]",
                     sessionId, e.what());
        }
    }
    LogExit(nullptr);
}

void ServiceHost::StopAllPerUserMonitoring() {
    std::lock_guard<std::recursive_mutex> guard(monitorLock);
    LogEnter(nullptr);
    std::set<DWORD> sessions;
    for (const auto& entry : citrixPerUser) sessions.insert(entry.first);
    for (const auto& entry : amazonPerUser) sessions.insert(entry.first);
    for (DWORD sessionId : sessions) StopPerUserMonitoring(sessionId);
    LogExit(nullptr);
}

std::vector<DWORD> ServiceHost::CitrixSessions() {
    std::lock_guard<std::recursive_mutex> guard(monitorLock);
    std::vector<DWORD> sessions;
    for (const auto& entry : citrixPerUser) sessions.push_back(entry.first);
    return sessions;
}

std::vector<DWORD> ServiceHost::AmazonSessions() {
    std::lock_guard<std::recursive_mutex> guard(monitorLock);
    std::vector<DWORD> sessions;
    for (const auto& entry : amazonPerUser) sessions.push_back(entry.first);
    return sessions;
}

bool ServiceHost::HasPerMachineMonitors() {
    std::lock_guard<std::recursive_mutex> guard(monitorLock);
    return citrixPerMachine && amazonPerMachine;
}
