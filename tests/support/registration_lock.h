#pragma once
// The machine's client registrations (the Citrix and WorkSpaces keys, the
// module's CLSID, the cleanup list) are shared by every process of the
// prefix: a registration fixture writes them, and a running service's
// monitors repair them. Whoever does either holds this lock, so no test sees
// another's fixture or service at work. A named mutex: recursive within a
// thread, and taken over when its holder died. Header only, for benchmarks.

#include <windows.h>

#include <stdexcept>

#include "base/unique_any.h"

namespace Testing {

class RegistrationLock {
public:
    // A holder that hangs fails the waiting test with this message, long
    // before the test runner's own time limit.
    RegistrationLock() : mutex(CreateMutexW(nullptr, FALSE, L"kx-registration-fixture")) {
        const DWORD result = WaitForSingleObject(mutex.Get(), 120000);
        if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) {
            throw std::runtime_error("the registration lock kx-registration-fixture was not free within 120 s");
        }
    }
    ~RegistrationLock() { ReleaseMutex(mutex.Get()); }
    RegistrationLock(const RegistrationLock&) = delete;
    RegistrationLock& operator=(const RegistrationLock&) = delete;

private:
    Base::UniqueHandle mutex;
};

}  // namespace Testing
