#pragma once
// A Callback is the code a thread-pool object runs, together with a strong
// reference to its owner (usually a registration monitor) that keeps the
// owner alive while the callback is armed. Because the owner in turn holds the
// Timer or HandleWait that holds the armed callback, arming forms a reference
// cycle: owners cancel before they drop their last reference, and Disarm
// breaks the cycle even while somebody else still holds the Callback.

#include <windows.h>

#include <functional>
#include <utility>

#include "base/exception.h"
#include "base/object.h"

namespace Base {

template <typename Signature>
class Callback : public Object {
public:
    Callback(Ref<Object> owner, std::function<Signature> function)
        : owner(std::move(owner)), function(std::move(function)) {}

    template <typename... Args>
    void Invoke(Args&&... args) const {
        function(std::forward<Args>(args)...);  // an empty function throws std::bad_function_call
    }

    // Releases the owner, then the function (and whatever it captured).
    void Disarm() {
        owner.Reset();
        function = nullptr;
    }

private:
    ~Callback() override = default;

    Ref<Object> owner;
    std::function<Signature> function;
};

using TimerCallback = Callback<void()>;
// Receives an empty Maybe when the handle was signalled (0) or the wait timed
// out (258), and the failure otherwise.
using WaitCallback = Callback<void(const Maybe<Exception>&, DWORD)>;

template <typename Signature>
Ref<Callback<Signature>> MakeCallback(Ref<Object> owner, std::function<Signature> function) {
    return MakeRef<Callback<Signature>>(std::move(owner), std::move(function));
}

}  // namespace Base
