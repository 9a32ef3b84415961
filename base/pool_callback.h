#pragma once
// What Timer and HandleWait share about running on the default thread pool.
//
// A callback's thread is "associated" with its pool object until the callback
// returns, and WaitForThreadpool*Callbacks waits for every associated thread.
// An owner whose last reference is released inside its own callback is
// destroyed on that thread, so its pool object would wait for itself for ever.
// PoolCallbackScope marks, for the length of one callback, which object the
// current thread runs; LeaveOwnCallback, called before such a wait, detaches
// the thread when the wait happens inside that object's own callback, so the
// wait covers every other callback and returns.

#include <windows.h>

#include <cstdint>

namespace Base {

class PoolCallbackScope {
public:
    PoolCallbackScope(const void* object, PTP_CALLBACK_INSTANCE instance);
    ~PoolCallbackScope();
    PoolCallbackScope(const PoolCallbackScope&) = delete;
    PoolCallbackScope& operator=(const PoolCallbackScope&) = delete;

    static void LeaveOwnCallback(const void* object);

private:
    const void* previousObject;
    PTP_CALLBACK_INSTANCE previousInstance;
};

// A due time of `delayMs` from now, as the pool takes it: negative 100 ns
// units are relative, so a change of the wall clock does not move it.
FILETIME RelativeDueTime(uint32_t delayMs);

}  // namespace Base
