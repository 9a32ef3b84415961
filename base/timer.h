#pragma once
// Timer runs a Callback once on the process's default thread pool after a
// delay. The delay is relative, so a change of the system clock does not move
// the firing. Scheduling again before the timer fires replaces the armed
// callback; re-scheduling from inside the callback is the normal way to
// repeat. An exception escaping the callback is logged and goes no further.
// The last reference may be released inside the callback.

#include <windows.h>

#include <cstdint>
#include <mutex>

#include "base/callback.h"
#include "base/object.h"

namespace Base {

class Timer : public Object {
public:
    Timer() = default;

    virtual void Schedule(uint32_t delayMs, Ref<TimerCallback> callback);
    // Waits for a running callback (so never call it from inside one) and
    // drops the armed callback; the function will not be invoked afterwards.
    virtual void Cancel();

protected:
    ~Timer() override;

private:
    static void CALLBACK OnTimer(PTP_CALLBACK_INSTANCE, void* context, PTP_TIMER);
    // Unsets the pool timer and waits for its callbacks (other than the
    // current thread's own).
    void StopAndWait();
    Ref<TimerCallback> TakeArmed();

    PTP_TIMER timer = nullptr;
    Ref<TimerCallback> armed;
    bool cancelling = false;  // set while Cancel runs; guarded by armedLock
    std::mutex armedLock;     // the pool thread and the owner's thread both swap `armed`
};

}  // namespace Base

using Base::Timer;
