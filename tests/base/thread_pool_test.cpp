#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <memory>
#include <new>
#include <stdexcept>

#include "base/handle_wait.h"
#include "base/timer.h"
#include "base/unique_any.h"
#include "support/event_capture.h"

// The import slot through which the code under test calls GetSystemTime.
extern "C" decltype(&GetSystemTime) __imp_GetSystemTime;

namespace {

struct Signal {
    Base::UniqueHandle event{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    void Set() { SetEvent(event.Get()); }
    bool WaitFor(DWORD ms) { return WaitForSingleObject(event.Get(), ms) == WAIT_OBJECT_0; }
};

// A monitor's part: a Timer and a HandleWait whose armed callbacks hold it.
class Owner : public Base::Object {
public:
    explicit Owner(Signal* destroyed = nullptr) : notify(destroyed, [](Signal* signal) { signal->Set(); }) {}
    const std::unique_ptr<Signal, void (*)(Signal*)> notify;  // sets `destroyed` after every later member is gone
    Base::Ref<Timer> timer = Base::MakeRef<Timer>();
    Base::UniqueHandle event{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    HandleWait wait{event.Get()};

private:
    ~Owner() override { wait.Cancel(); }
};

Base::Ref<Base::TimerCallback> Count(Base::Ref<Base::Object> owner, std::atomic<int>& counter, Signal& done) {
    return Base::MakeCallback<void()>(std::move(owner), [&counter, &done] {
        ++counter;
        done.Set();
    });
}

// As if the wall clock was set back by two hours right after a timer was scheduled.
void WINAPI ClockTwoHoursAhead(LPSYSTEMTIME time) {
    ULARGE_INTEGER now;
    GetSystemTimeAsFileTime(reinterpret_cast<FILETIME*>(&now));
    now.QuadPart += 2ULL * 3600 * 10000000;
    FileTimeToSystemTime(reinterpret_cast<FILETIME*>(&now), time);
}

}  // namespace

// A clock set back right after a timer was scheduled delays nothing. Once the
// live count is back, no armed callback is left that could still fire.
TEST(TimerSchedule, IgnoresTheWallClockFiresOnceReplacesAndCancels) {
    const int baseline = Base::Object::LiveObjectCount();
    std::atomic<int> clock{0}, replaced{0}, fired{0}, cancelled{0};
    Signal clockDone, replacedDone, firedDone, cancelledDone;
    {
        auto owner = Base::MakeRef<Owner>();
        auto& slot = __imp_GetSystemTime;
        DWORD protection = 0;
        ASSERT_TRUE(VirtualProtect(&slot, sizeof(slot), PAGE_READWRITE, &protection));
        const auto real = slot;
        slot = &ClockTwoHoursAhead;
        owner->timer->Schedule(50, Count(owner, clock, clockDone));
        slot = real;
        VirtualProtect(&slot, sizeof(slot), protection, &protection);
        EXPECT_TRUE(clockDone.WaitFor(5000));

        owner->timer->Schedule(60000, Count(owner, replaced, replacedDone));
        owner->timer->Schedule(10, Count(owner, fired, firedDone));
        ASSERT_TRUE(firedDone.WaitFor(5000));
        owner->timer->Schedule(60000, Count(owner, cancelled, cancelledDone));
        owner->timer->Cancel();
    }
    EXPECT_TRUE(Testing::WaitUntil([&] { return Base::Object::LiveObjectCount() == baseline; }));
    EXPECT_EQ(replaced.load() + cancelled.load(), 0);
    EXPECT_EQ(clock.load() + fired.load(), 2);
}

// Any exception, standard or not ours, is caught at the pool's edge and logged;
// a wait's callback learns whether the handle was signalled, timed out or failed.
TEST(PoolCallbacks, ExceptionsAreLoggedTheTimerAndWaitGoOnAndWaitsTellTheirResult) {
    auto owner = Base::MakeRef<Owner>();
    Testing::EventCapture capture;
    owner->timer->Schedule(10, Base::MakeCallback<void()>(owner, [] { throw std::bad_alloc(); }));
    EXPECT_TRUE(capture.WaitForCount(L"Failed to invoke timer [" + Testing::PointerText(owner->timer.Get()) +
                                         L"] callback error [std::bad_alloc]",
                                     1, 5000));
    std::atomic<int> fired{0};
    Signal done;
    owner->timer->Schedule(10, Count(owner, fired, done));
    EXPECT_TRUE(done.WaitFor(5000));
    owner->timer->Cancel();

    const std::wstring failed =
        L"Failed to invoke wait callback for handle [" + Testing::PointerText(owner->event.Get()) + L"] error [";
    owner->wait.Wait(10, owner, [](const Base::Maybe<Base::Exception>&, DWORD) { throw std::runtime_error("boom"); });
    EXPECT_TRUE(capture.WaitForCount(failed + L"boom]", 1, 5000));
    owner->wait.Wait(10, owner, nullptr);  // an empty function is a standard exception too
    EXPECT_TRUE(capture.WaitForCount(failed + L"bad_function_call]", 1, 5000));

    // A result the pool here never gives (an abandoned mutex on Windows) reaches
    // the callback as an ExceptionWin32 carrying it.
    for (const DWORD expected : {DWORD{WAIT_OBJECT_0}, DWORD{WAIT_TIMEOUT}, DWORD{WAIT_ABANDONED}}) {
        Signal called;
        DWORD result = 1;
        uint32_t code = 0;
        owner->wait.Wait(expected == WAIT_TIMEOUT ? 50 : 60000, owner, [&](const auto& failure, DWORD got) {
            const auto* win32 =
                failure.HasValue() ? dynamic_cast<const Base::ExceptionWin32*>(&failure.Value()) : nullptr;
            code = win32 ? win32->Code() : 0;
            result = got;
            called.Set();
        });
        if (expected == WAIT_OBJECT_0) SetEvent(owner->event.Get());
        if (expected == WAIT_ABANDONED) HandleWait::OnWait(nullptr, &owner->wait, nullptr, WAIT_ABANDONED);
        ASSERT_TRUE(called.WaitFor(5000));
        EXPECT_EQ(result, expected);
        EXPECT_EQ(code, expected == WAIT_ABANDONED ? 128u : 0u);
    }
    EXPECT_TRUE(capture.Contains(L"Failed to wait for handle [" + Testing::PointerText(owner->event.Get()) +
                                 L"] result [128]"));
    owner->wait.Cancel();
}

// The owner, its Timer and its HandleWait are destroyed on the pool thread of
// the running callback, which must not wait for itself to finish.
TEST(ThreadPoolLifetime, LastReferenceReleasedInsideItsOwnCallbackLetsTheCallbackReturn) {
    const int baseline = Base::Object::LiveObjectCount();
    for (const bool timer : {true, false}) {
        Signal started, dropped, destroyed;
        {
            auto owner = Base::MakeRef<Owner>(&destroyed);
            Owner* raw = owner.Get();
            if (timer) {
                owner->timer->Schedule(10, Base::MakeCallback<void()>(owner, [&] {
                    started.Set();
                    dropped.WaitFor(5000);
                }));
            } else {
                owner->wait.Wait(10, owner, [&, raw](const Base::Maybe<Base::Exception>&, DWORD) {
                    started.Set();
                    dropped.WaitFor(5000);
                    // Re-armed without its owner: the running callback holds the last reference.
                    raw->wait.Wait(60000, nullptr, [](const Base::Maybe<Base::Exception>&, DWORD) {});
                });
            }
            ASSERT_TRUE(started.WaitFor(5000));
        }
        dropped.Set();
        EXPECT_TRUE(destroyed.WaitFor(10000)) << (timer ? "timer" : "handle wait");
    }
    EXPECT_EQ(Base::Object::LiveObjectCount(), baseline);
}
