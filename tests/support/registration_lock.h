#pragma once
// The machine's client registrations (the Citrix and WorkSpaces keys, the
// module's CLSID, the cleanup list) are shared by the whole prefix: a
// registration fixture writes them and a running service's monitors repair
// them, so whoever does either holds this named mutex (recursive within a
// thread, taken over when its holder died).

#include <windows.h>

#include <stdexcept>

#include "base/unique_any.h"

namespace Testing {

class RegistrationLock {
public:
    // A hung holder fails the waiting test long before the runner's limit.
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
