#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <memory>
#include <stdexcept>

#include "base/handle_wait.h"
#include "base/timer.h"
#include "support/event_capture.h"
#include "support/scratch_registry.h"

namespace {

// Plays the part of a monitor: owns a Timer and a HandleWait whose armed
// callbacks hold it.
class Owner : public Base::Object {
public:
    Owner() : timer(Base::MakeRef<Timer>()), event(CreateEventW(nullptr, FALSE, FALSE, nullptr)), wait(event) {}
    Base::Ref<Timer> timer;
    HANDLE event;
    HandleWait wait;

private:
    ~Owner() override {
        wait.Cancel();
        CloseHandle(event);
    }
};

struct Signal {
    HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~Signal() { CloseHandle(handle); }
    void Set() { SetEvent(handle); }
    bool WaitFor(DWORD ms) { return WaitForSingleObject(handle, ms) == WAIT_OBJECT_0; }
};

Base::Ref<Base::TimerCallback> Count(Base::Ref<Base::Object> owner, std::atomic<int>& counter, Signal& done) {
    return Base::MakeCallback<void()>(std::move(owner), [&counter, &done] {
        ++counter;
        done.Set();
    });
}

}  // namespace

TEST(TimerSchedule, FiresOnceAfterItsDelay) {
    const int baseline = Base::Object::LiveObjectCount();
    {
        auto owner = Base::MakeRef<Owner>();
        std::atomic<int> fired{0};
        Signal done;
        owner->timer->Schedule(50, Count(owner, fired, done));
        ASSERT_TRUE(done.WaitFor(5000));
        Sleep(200);
        EXPECT_EQ(fired.load(), 1);
        owner->timer->Cancel();
    }
    EXPECT_EQ(Base::Object::LiveObjectCount(), baseline);
}

TEST(TimerSchedule, ASecondScheduleReplacesTheFirst) {
    auto owner = Base::MakeRef<Owner>();
    std::atomic<int> first{0}, second{0};
    Signal firstDone, secondDone;
    owner->timer->Schedule(300, Count(owner, first, firstDone));
    owner->timer->Schedule(50, Count(owner, second, secondDone));
    ASSERT_TRUE(secondDone.WaitFor(5000));
    EXPECT_FALSE(firstDone.WaitFor(600));
    EXPECT_EQ(first.load(), 0);
    EXPECT_EQ(second.load(), 1);
    owner->timer->Cancel();
}

TEST(TimerSchedule, CancelBeforeTheDueTimeInvokesNothing) {
    const int baseline = Base::Object::LiveObjectCount();
    std::atomic<int> fired{0};
    Signal done;
    {
        auto owner = Base::MakeRef<Owner>();
        owner->timer->Schedule(100, Count(owner, fired, done));
        Testing::EventCapture capture;
        owner->timer->Cancel();
        EXPECT_TRUE(capture.Contains(L"Cancelling timer [" + Testing::PointerText(owner->timer.Get()) +
                                     L"] callbacks..."));
    }
    EXPECT_FALSE(done.WaitFor(400));
    EXPECT_EQ(fired.load(), 0);
    EXPECT_EQ(Base::Object::LiveObjectCount(), baseline);
}

TEST(TimerSchedule, ReschedulingFromInsideRepeats) {
    auto owner = Base::MakeRef<Owner>();
    std::atomic<int> fired{0};
    Signal done;
    Owner* raw = owner.Get();
    std::function<void()> again;
    again = [&, raw] {
        if (++fired < 5) {
            raw->timer->Schedule(10, Base::MakeCallback<void()>(Base::Ref<Base::Object>(raw), again));
        } else {
            done.Set();
        }
    };
    owner->timer->Schedule(10, Base::MakeCallback<void()>(owner, again));
    ASSERT_TRUE(done.WaitFor(5000));
    owner->timer->Cancel();
    EXPECT_EQ(fired.load(), 5);
}

TEST(TimerLifetime, OwnerDroppedWhileItsCallbackRunsIsFreedAfterwards) {
    const int baseline = Base::Object::LiveObjectCount();
    Signal started, release, finished;
    {
        auto owner = Base::MakeRef<Owner>();
        owner->timer->Schedule(10, Base::MakeCallback<void()>(owner, [&] {
            started.Set();
            release.WaitFor(5000);
            finished.Set();
        }));
        ASSERT_TRUE(started.WaitFor(5000));
    }
    // The running callback holds the last reference now.
    EXPECT_GT(Base::Object::LiveObjectCount(), baseline);
    release.Set();
    ASSERT_TRUE(finished.WaitFor(5000));
    for (int i = 0; i < 100 && Base::Object::LiveObjectCount() != baseline; ++i) Sleep(10);
    EXPECT_EQ(Base::Object::LiveObjectCount(), baseline);
}

TEST(HandleWaitResults, SignalledTimedOutAndFailed) {
    auto owner = Base::MakeRef<Owner>();
    struct Outcome {
        bool failed = false;
        uint32_t code = 0;
        DWORD result = 0;
        Signal done;
    };
    auto run = [&](HandleWait& wait, uint32_t timeout, Outcome& outcome) {
        wait.Wait(timeout, owner, [&outcome](const Base::Maybe<Base::Exception>& failure, DWORD result) {
            outcome.failed = failure.HasValue();
            if (const auto* win32 = failure.HasValue() ? dynamic_cast<const Base::ExceptionWin32*>(&failure.Value())
                                                       : nullptr) {
                outcome.code = win32->Code();
            }
            outcome.result = result;
            outcome.done.Set();
        });
    };

    Outcome signalled;
    run(owner->wait, 5000, signalled);
    SetEvent(owner->event);
    ASSERT_TRUE(signalled.done.WaitFor(5000));
    EXPECT_FALSE(signalled.failed);
    EXPECT_EQ(signalled.result, WAIT_OBJECT_0);

    Outcome timedOut;
    run(owner->wait, 50, timedOut);
    ASSERT_TRUE(timedOut.done.WaitFor(5000));
    EXPECT_FALSE(timedOut.failed);
    EXPECT_EQ(timedOut.result, static_cast<DWORD>(WAIT_TIMEOUT));
    owner->wait.Cancel();

    // A failed wait (an abandoned mutex on Windows) reaches the callback as
    // an ExceptionWin32 carrying the result.
    HandleWait abandoned(owner->event);
    Outcome failed;
    Testing::EventCapture capture;
    run(abandoned, 60000, failed);
    HandleWait::OnWait(nullptr, &abandoned, nullptr, WAIT_ABANDONED);
    ASSERT_TRUE(failed.done.WaitFor(5000));
    EXPECT_TRUE(failed.failed);
    EXPECT_EQ(failed.result, static_cast<DWORD>(WAIT_ABANDONED));
    EXPECT_EQ(failed.code, static_cast<uint32_t>(WAIT_ABANDONED));
    EXPECT_TRUE(capture.Contains(L"Failed to wait for handle [" + Testing::PointerText(owner->event) +
                                 L"] result [128]"));
    abandoned.Cancel();
}

TEST(HandleWaitCallbacks, ExceptionsAreLoggedAndSwallowed) {
    auto owner = Base::MakeRef<Owner>();
    Testing::EventCapture capture;
    Signal reached;
    owner->wait.Wait(10, owner, [&](const Base::Maybe<Base::Exception>&, DWORD) {
        reached.Set();
        throw std::runtime_error("boom");
    });
    ASSERT_TRUE(reached.WaitFor(5000));
    owner->wait.Cancel();  // waits for the callback to finish
    const std::wstring handle = Testing::PointerText(owner->event);
    EXPECT_TRUE(capture.Contains(L"Failed to invoke wait callback for handle [" + handle + L"] error [boom]"));

    owner->wait.Wait(10, owner, nullptr);  // an empty function is a standard exception too
    Sleep(300);
    owner->wait.Cancel();
    EXPECT_TRUE(capture.Contains(L"Failed to invoke wait callback for handle [" + handle + L"] error [bad_function_call]"));
}

TEST(HandleWaitLifetime, CancelBreaksTheCycleAndRearmingKeepsWatching) {
    const int baseline = Base::Object::LiveObjectCount();
    std::atomic<int> passes{0};
    Signal third;
    {
        auto owner = Base::MakeRef<Owner>();
        Owner* raw = owner.Get();
        std::function<void(const Base::Maybe<Base::Exception>&, DWORD)> pass;
        pass = [&, raw](const Base::Maybe<Base::Exception>&, DWORD) {
            if (++passes == 3) third.Set();
            raw->wait.Wait(10, Base::Ref<Base::Object>(raw), pass);  // replaces the running callback
        };
        owner->wait.Wait(10, owner, pass);
        ASSERT_TRUE(third.WaitFor(5000));
        owner.Reset();
        // The armed callback still holds the owner: the cycle.
        EXPECT_GT(Base::Object::LiveObjectCount(), baseline);
        raw->wait.Cancel();
    }
    EXPECT_EQ(Base::Object::LiveObjectCount(), baseline);
    const int after = passes.load();
    Sleep(100);
    EXPECT_EQ(passes.load(), after);  // nothing runs after Cancel
}
