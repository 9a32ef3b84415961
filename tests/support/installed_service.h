#pragma once
// The service executable installed in the Service Control Manager for one
// test under a name of its own, deleted again afterwards.

#include <windows.h>

#include <string>

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
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    std::wstring name;
};

}  // namespace Testing
