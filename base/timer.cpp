#include "base/timer.h"

#include <exception>

#include "base/log.h"
#include "base/pool_callback.h"

namespace Base {

Timer::~Timer() {
    if (timer != nullptr) {
        StopAndWait();
        TakeArmed();
        CloseThreadpoolTimer(timer);
        timer = nullptr;
        LogVerbose(L"Timer [%p] closed", this);
    }
    TakeArmed();
}

Ref<TimerCallback> Timer::TakeArmed() {
    std::lock_guard<std::mutex> lock(armedLock);
    Ref<TimerCallback> taken;
    std::swap(taken, armed);
    return taken;
}

void Timer::Schedule(uint32_t delayMs, Ref<TimerCallback> callback) {
    TakeArmed();
    if (timer == nullptr) {
        timer = CreateThreadpoolTimer(&Timer::OnTimer, this, nullptr);
        if (timer == nullptr) {
            const DWORD error = GetLastError();
            LogError(L"Failed to create timer [%p] error [%lu]", this, error);
            throw ExceptionWin32("Timer Failed", error);
        }
    }
    {
        std::lock_guard<std::mutex> lock(armedLock);
        // A callback re-scheduling itself while its owner cancels must not
        // arm the timer again behind the cancel.
        if (cancelling) return;
        armed = std::move(callback);
    }
    FILETIME due = RelativeDueTime(delayMs);
    SetThreadpoolTimer(timer, &due, 0, 0);
    LogDebug(L"Timer [%p] scheduled to run in [%lu] ms", this, delayMs);
}

// Unset first: a closed timer that still fired would find this object gone.
void Timer::StopAndWait() {
    if (timer == nullptr) return;
    const bool set = IsThreadpoolTimerSet(timer) != FALSE;
    if (set) LogVerbose(L"Cancelling timer [%p] callbacks...", this);
    SetThreadpoolTimer(timer, nullptr, 0, 0);
    PoolCallbackScope::LeaveOwnCallback(this);
    WaitForThreadpoolTimerCallbacks(timer, TRUE);
    if (set) LogVerbose(L"Done cancelling timer [%p] callbacks.", this);
}

void Timer::Cancel() {
    {
        std::lock_guard<std::mutex> lock(armedLock);
        cancelling = true;
    }
    StopAndWait();
    TakeArmed();
    std::lock_guard<std::mutex> lock(armedLock);
    cancelling = false;
}

void CALLBACK Timer::OnTimer(PTP_CALLBACK_INSTANCE instance, void* context, PTP_TIMER) {
    Timer* self = static_cast<Timer*>(context);
    // Covers the release of the callback too: it may hold this timer's last owner.
    const PoolCallbackScope scope(self, instance);
    LogDebug(L"Timer [%p] timed out", self);
    // One shot: the callback is taken out before it runs, so it may re-arm.
    Ref<TimerCallback> callback = self->TakeArmed();
    if (!callback) return;
    // The pool's edge: nothing may escape into the thread pool.
    try {
        callback->Invoke();
    } catch (const std::exception& e) {
        LogError(L"Failed to invoke timer [%p] callback error [%S]", self, e.what());
    } catch (...) {
        LogError(L"Failed to invoke timer [%p] callback error [%S]", self, "Unknown exception");
    }
}

}  // namespace Base
