#include "support/installed_service.h"

#include <atomic>

#include "support/wait_until.h"

namespace Testing {

InstalledService::InstalledService(const std::wstring& commandLine) {
    static std::atomic<int> counter{0};
    const std::wstring name =
        L"KxTestService" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++counter);
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (manager) {
        service.Reset(CreateServiceW(manager.Get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                     commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    }
}

InstalledService::~InstalledService() {
    if (!service) return;
    if (Query().dwCurrentState != SERVICE_STOPPED && Control(SERVICE_CONTROL_STOP) == 0) {
        WaitForState(SERVICE_STOPPED, 10000);
    }
    DeleteService(service.Get());
}

DWORD InstalledService::Start() { return StartServiceW(service.Get(), 0, nullptr) ? 0 : GetLastError(); }

DWORD InstalledService::Control(DWORD control) {
    SERVICE_STATUS status = {};
    return ControlService(service.Get(), control, &status) ? 0 : GetLastError();
}

SERVICE_STATUS_PROCESS InstalledService::Query() {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                         &needed);
    return status;
}

bool InstalledService::WaitForState(DWORD state, DWORD timeoutMs) {
    return WaitUntil([&] { return Query().dwCurrentState == state; }, timeoutMs);
}

}  // namespace Testing
