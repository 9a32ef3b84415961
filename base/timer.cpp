#include "base/timer.h"

#include "base/log.h"

namespace Base {

Timer::~Timer() {
    if (timer != nullptr) {
        // Unset first: a closed timer that still fired would find this object gone.
        SetThreadpoolTimer(timer, nullptr, 0, 0);
        WaitForCallbacks();
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
    SYSTEMTIME now;
    GetSystemTime(&now);
    FILETIME nowFile;
    SystemTimeToFileTime(&now, &nowFile);
    ULARGE_INTEGER due;
    due.LowPart = nowFile.dwLowDateTime;
    due.HighPart = nowFile.dwHighDateTime;
    due.QuadPart += static_cast<uint64_t>(delayMs) * 10000;
    FILETIME dueFile;
    dueFile.dwLowDateTime = due.LowPart;
    dueFile.dwHighDateTime = due.HighPart;
    SetThreadpoolTimer(timer, &dueFile, 0, 0);
    LogDebug(L"Timer [%p] scheduled to run in [%lu] ms", this, delayMs);
}

void Timer::WaitForCallbacks() {
    if (timer == nullptr) return;
    // A timer that has just fired is no longer "set" while its callback still
    // runs, so the wait is done either way; the flag only chooses the lines.
    const bool set = IsThreadpoolTimerSet(timer) != FALSE;
    if (set) LogVerbose(L"Cancelling timer [%p] callbacks...", this);
    WaitForThreadpoolTimerCallbacks(timer, TRUE);
    if (set) LogVerbose(L"Done cancelling timer [%p] callbacks.", this);
}

void Timer::Cancel() {
    {
        std::lock_guard<std::mutex> lock(armedLock);
        cancelling = true;
    }
    if (timer != nullptr) {
        const bool set = IsThreadpoolTimerSet(timer) != FALSE;
        if (set) LogVerbose(L"Cancelling timer [%p] callbacks...", this);
        SetThreadpoolTimer(timer, nullptr, 0, 0);
        WaitForThreadpoolTimerCallbacks(timer, TRUE);
        if (set) LogVerbose(L"Done cancelling timer [%p] callbacks.", this);
    }
    TakeArmed();
    std::lock_guard<std::mutex> lock(armedLock);
    cancelling = false;
}

void CALLBACK Timer::OnTimer(PTP_CALLBACK_INSTANCE, void* context, PTP_TIMER) {
    Timer* self = static_cast<Timer*>(context);
    LogDebug(L"Timer [%p] timed out", self);
    // One shot: the callback is taken out before it runs, so it may re-arm.
    const Ref<TimerCallback> callback = self->TakeArmed();
    if (callback) callback->Invoke();
}

}  // namespace Base
