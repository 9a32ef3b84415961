#pragma once
// The service installed under a name of its own for one test. It holds the
// registration lock: the running service's monitors would repair other fixtures.

#include <windows.h>

#include <string>

#include "base/unique_any.h"
#include "support/registration_lock.h"

namespace Testing {

using UniqueServiceHandle = Base::UniqueAny<Base::NullHandleTraits<SC_HANDLE, CloseServiceHandle>>;

class InstalledService {
public:
    explicit InstalledService(const std::wstring& commandLine);
    ~InstalledService();
    InstalledService(const InstalledService&) = delete;
    InstalledService& operator=(const InstalledService&) = delete;

    bool Installed() const { return service.IsValid(); }
    // StartServiceW's and ControlService's error, or 0.
    DWORD Start();
    DWORD Control(DWORD control);
    SERVICE_STATUS_PROCESS Query();
    // True when the state is reached before the timeout.
    bool WaitForState(DWORD state, DWORD timeoutMs);

private:
    RegistrationLock registrationLock;
    UniqueServiceHandle service;
};

}  // namespace Testing
