#include "base/log.h"
#include "service/service_host.h"

// The registration monitors are not part of this build yet: these keep the
// service's start and stop sequence whole and say that nothing is monitored.
void ServiceHost::StartPerMachineMonitoring() {
    LogVerbose(L"Client registration monitors are not available; nothing monitored per machine");
}
void ServiceHost::StopPerMachineMonitoring() {}
void ServiceHost::StartActiveSessionMonitoring() {}
void ServiceHost::StartPerUserMonitoring(DWORD sessionId, const Base::Ref<Base::AccessToken>&) {
    LogVerbose(L"Client registration monitors are not available; nothing monitored in session [%lu]", sessionId);
}
void ServiceHost::StopPerUserMonitoring(DWORD) {}
void ServiceHost::StopAllPerUserMonitoring() {}
