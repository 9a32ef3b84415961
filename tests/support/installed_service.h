#pragma once
// The service executable installed in the Service Control Manager for one
// test under a name of its own, deleted again afterwards. While installed it
// holds the registration lock: the running service's monitors would repair
// another test's fixture.

#include <windows.h>

#include <string>

#include "support/registration_lock.h"

namespace Testing {

class InstalledService {
public:
    explicit InstalledService(const std::wstring& commandLine);
    ~InstalledService();
    InstalledService(const InstalledService&) = delete;
    InstalledService& operator=(const InstalledService&) = delete;

    bool Installed() const { return service != nullptr; }
    const std::wstring& Name() const { return name; }
    // StartServiceW's error, or 0.
    DWORD Start();
    // ControlService's error, or 0; the status the SCM answered with.
    DWORD Control(DWORD control, SERVICE_STATUS_PROCESS* status = nullptr);
    SERVICE_STATUS_PROCESS Query();
    // True when the state is reached before the timeout.
    bool WaitForState(DWORD state, DWORD timeoutMs);

private:
    RegistrationLock registrationLock;
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    std::wstring name;
};

}  // namespace Testing
