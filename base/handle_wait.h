#pragma once
// HandleWait runs a callback once on the process's default thread pool when
// a kernel handle is signalled or a timeout passes. The handle is not owned.
// The wait is one-shot: the callback calls Wait again to keep watching. The
// armed callback holds its owner, and the owner holds this HandleWait, so the
// owner must Cancel before dropping its last reference; a callback may still
// release that last reference itself.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <mutex>

#include "base/callback.h"

namespace Base {

class HandleWait {
public:
    using Function = std::function<void(const Maybe<Exception>&, DWORD)>;

    explicit HandleWait(HANDLE handle) : handle(handle) {}
    ~HandleWait() { Cancel(); }
    HandleWait(const HandleWait&) = delete;
    HandleWait& operator=(const HandleWait&) = delete;

    void Wait(uint32_t timeoutMs, Ref<Object> owner, Function function);
    // Waits for a running callback (never call it from inside one), closes the
    // pool wait and releases the owner. A later Wait starts afresh.
    void Cancel();

    // The pool's entry point. Public so that results the platform under test
    // never produces (Wine reports an abandoned mutex as signalled) can be
    // delivered as the pool would.
    static void CALLBACK OnWait(PTP_CALLBACK_INSTANCE, void* context, PTP_WAIT, TP_WAIT_RESULT result);

private:
    void Run(DWORD result);

    HANDLE handle;
    PTP_WAIT wait = nullptr;
    Ref<WaitCallback> armed;
    bool cancelling = false;
    std::mutex lock;  // guards `armed` and `cancelling` between the pool thread and the owner
};

}  // namespace Base

using Base::HandleWait;
