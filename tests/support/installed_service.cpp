#include "support/installed_service.h"

#include <atomic>

namespace Testing {

InstalledService::InstalledService(const std::wstring& commandLine) {
    static std::atomic<int> counter{0};
    name = L"KxTestService" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++counter);
    manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return;
    service = CreateServiceW(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                             SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr, nullptr,
                             nullptr, nullptr, nullptr);
}

InstalledService::~InstalledService() {
    if (service != nullptr) {
        SERVICE_STATUS status;
        if (Query().dwCurrentState != SERVICE_STOPPED) {
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            WaitForState(SERVICE_STOPPED, 10000);
        }
        DeleteService(service);
        CloseServiceHandle(service);
    }
    if (manager != nullptr) CloseServiceHandle(manager);
}

DWORD InstalledService::Start() { return StartServiceW(service, 0, nullptr) ? 0 : GetLastError(); }

DWORD InstalledService::Control(DWORD control, SERVICE_STATUS_PROCESS* status) {
    SERVICE_STATUS plain = {};
    const DWORD error = ControlService(service, control, &plain) ? 0 : GetLastError();
    if (status != nullptr) *status = Query();
    return error;
}

SERVICE_STATUS_PROCESS InstalledService::Query() {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status), &needed);
    return status;
}

bool InstalledService::WaitForState(DWORD state, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do {
        if (Query().dwCurrentState == state) return true;
        Sleep(20);
    } while (GetTickCount64() < deadline);
    return Query().dwCurrentState == state;
}

}  // namespace Testing
