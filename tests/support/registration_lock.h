#pragma once
// The machine's client registrations (the Citrix and WorkSpaces keys, the
// module's CLSID, the cleanup list) are shared by every process of the
// prefix: a registration fixture writes them, and a running service's
// monitors repair them. Whoever does either holds this lock, so no test sees
// another's fixture or service at work. A named mutex: recursive within a
// thread, and taken over when its holder died. Header only, for benchmarks.

#include <windows.h>

namespace Testing {

class RegistrationLock {
public:
    RegistrationLock() : mutex(CreateMutexW(nullptr, FALSE, L"kx-registration-fixture")) {
        WaitForSingleObject(mutex, INFINITE);
    }
    ~RegistrationLock() {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
    RegistrationLock(const RegistrationLock&) = delete;
    RegistrationLock& operator=(const RegistrationLock&) = delete;

private:
    HANDLE mutex;
};

}  // namespace Testing
