#pragma once
// The product as its packages install it, for one test case. Construction and
// destruction remove whatever an earlier case or this one left: workers, every
// package with the service's upgrade code (msiexec /x, which also stops and
// deletes the service), the service itself, the setup program's entry,
// Program Files\Veltrastone, and installers and msiexec logs in the download
// cache. It holds the registration lock: the installed service repairs
// registrations.

#include <windows.h>

#include <string>
#include <vector>

#include "support/registration_lock.h"

namespace Testing {

class InstalledProduct {
public:
    InstalledProduct() { Remove(); }
    ~InstalledProduct() { Remove(); }
    InstalledProduct(const InstalledProduct&) = delete;
    InstalledProduct& operator=(const InstalledProduct&) = delete;

    static std::wstring ServiceExecutable();
    // The running service's process id; 0 when it does not run.
    static DWORD ServicePid();
    // DisplayVersion of each installed program named "Veltrastone Client...".
    static std::vector<std::wstring> UninstallEntryVersions();

private:
    static void Remove();
    RegistrationLock registrationLock;
};

// "MAJOR.MINOR.PATCH" of a file's version resource; empty without one.
std::wstring FileVersion(const std::wstring& path);

}  // namespace Testing
