#include "base/handle_wait.h"

#include <exception>

#include "base/log.h"
#include "base/pool_callback.h"

namespace Base {

void HandleWait::Wait(uint32_t timeoutMs, Ref<Object> owner, Function function) {
    Ref<WaitCallback> callback = MakeCallback(std::move(owner), std::move(function));
    std::lock_guard<std::mutex> guard(lock);
    // A callback re-arming while its owner cancels must not start a new wait.
    if (cancelling) return;
    if (wait == nullptr) {
        wait = CreateThreadpoolWait(&HandleWait::OnWait, this, nullptr);
        if (wait == nullptr) {
            const DWORD error = GetLastError();
            LogError(L"Failed to create wait to monitor handle [%p] error [%u]", handle, error);
            throw ExceptionWin32("Wait Failed", error);
        }
    }
    armed = std::move(callback);
    FILETIME due = RelativeDueTime(timeoutMs);
    SetThreadpoolWait(wait, handle, &due);
    LogVerbose(L"Waiting on handle [%p] for [%lu] ms", handle, timeoutMs);
}

void HandleWait::Cancel() {
    PTP_WAIT closing = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock);
        cancelling = true;
        closing = wait;
    }
    if (closing != nullptr) {
        LogVerbose(L"Waiting for handle [%p] callbacks...", handle);
        SetThreadpoolWait(closing, nullptr, nullptr);
        PoolCallbackScope::LeaveOwnCallback(this);
        WaitForThreadpoolWaitCallbacks(closing, TRUE);
        CloseThreadpoolWait(closing);
        LogVerbose(L"Done waiting for handle [%p] callbacks. Closed.", handle);
    }
    Ref<WaitCallback> released;
    {
        std::lock_guard<std::mutex> guard(lock);
        wait = nullptr;
        std::swap(released, armed);
        cancelling = false;
    }
    if (released) released->Disarm();
}

void CALLBACK HandleWait::OnWait(PTP_CALLBACK_INSTANCE instance, void* context, PTP_WAIT, TP_WAIT_RESULT result) {
    // Covers the release of the callback too: it may hold this wait's last owner.
    const PoolCallbackScope scope(context, instance);
    static_cast<HandleWait*>(context)->Run(result);
}

void HandleWait::Run(DWORD result) {
    // Held for the whole call: a re-arming Wait replaces `armed`, which must
    // not destroy the function that is running.
    Ref<WaitCallback> callback;
    {
        std::lock_guard<std::mutex> guard(lock);
        callback = armed;
    }
    try {
        if (result != WAIT_OBJECT_0 && result != WAIT_TIMEOUT) {
            LogError(L"Failed to wait for handle [%p] result [%lu]", handle, result);
            const Maybe<Exception> failure{ExceptionWin32(result)};
            if (callback) callback->Invoke(failure, result);
        } else {
            LogVerbose(L"Successfully waited for handle [%p] result [%lu]", handle, result);
            if (callback) callback->Invoke(Maybe<Exception>(), result);
        }
    } catch (const std::exception& e) {
        LogError(L"Failed to invoke wait callback for handle [%p] error [%S]", handle,
                 e.what() != nullptr && *e.what() != '\0' ? e.what() : "Unknown exception");
    } catch (...) {
        LogError(L"Failed to invoke wait callback for handle [%p] error [%S]", handle, "Unknown exception");
    }
}

}  // namespace Base
