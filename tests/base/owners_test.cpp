// Who owns what: reference-counted objects, handle owners, the COM apartment
// guard and the copy of a token's user SID.

#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <thread>
#include <vector>

#include "base/access_token.h"
#include "base/com_apartment_guard.h"
#include "base/exception.h"
#include "base/object.h"
#include "base/unique_any.h"
#include "support/event_capture.h"

namespace {

class Probe : public Base::Object {
public:
    explicit Probe(int* destroyed) : destroyed(destroyed) {}

private:
    ~Probe() override { ++*destroyed; }
    int* destroyed;
};

}  // namespace

TEST(ObjectReferences, TheLastReferenceDeletesAndTheLiveCountFollows) {
    const int baseline = Base::Object::LiveObjectCount();
    int destroyed = 0;
    {
        auto first = Base::MakeRef<Probe>(&destroyed);
        EXPECT_EQ(Base::Object::LiveObjectCount(), baseline + 1);
        Base::Ref<Probe> copy = first;
        Base::Ref<Base::Object> base = copy;
        Base::Ref<Probe> moved = std::move(copy);
        EXPECT_FALSE(copy);
        EXPECT_EQ(first->RefCount(), 3u);
        first.Reset();
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([moved] { for (int i = 0; i < 20000; ++i) Base::Ref<Probe> again = moved; });
        }
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(moved->RefCount(), 2u);
        EXPECT_EQ(destroyed, 0);
    }
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(Base::Object::LiveObjectCount(), baseline);
}

TEST(UniqueAny, ClosesExactlyWhatItOwnsOnResetMoveAndDestruction) {
    const auto isOpen = [](HANDLE handle) {
        DWORD flags = 0;
        return GetHandleInformation(handle, &flags) != FALSE;
    };
    HANDLE first = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE second = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        Base::UniqueHandle owner(first);
        owner.Reset(first);  // the same value stays open
        EXPECT_TRUE(isOpen(first));
        Base::UniqueHandle other(std::move(owner));
        EXPECT_FALSE(owner);
        other.Reset(second);
        EXPECT_FALSE(isOpen(first));
        EXPECT_TRUE(isOpen(second));
        HANDLE kept = other.Release();
        EXPECT_EQ(kept, second);
        *other.Put() = kept;
    }
    EXPECT_FALSE(isOpen(second));
    // Files opened with CreateFile fail with INVALID_HANDLE_VALUE.
    EXPECT_FALSE(Base::UniqueFileHandle(
        CreateFileW(L"C:\\no such folder\\x", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)));
}

// The guard leaves exactly the apartment it entered. COM state is per thread:
// every case runs on a fresh one.
TEST(ComApartmentGuard, LeavesOnlyWhatItEntered) {
    const struct {
        DWORD before;  // apartment the thread is in already, or ~0 for none
        HRESULT entered;
        HRESULT afterwards;  // a second entry of the thread's own model once the guard is gone
    } cases[] = {
        {~0u, S_OK, S_OK},
        {COINIT_APARTMENTTHREADED, S_FALSE, S_FALSE},
        {COINIT_MULTITHREADED, RPC_E_CHANGED_MODE, S_FALSE},
    };
    for (const auto& c : cases) {
        std::thread([&c] {
            if (c.before != ~0u) {
                ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, c.before)));
            }
            Testing::EventCapture capture;
            {
                ComApartmentGuard guard(COINIT_APARTMENTTHREADED);
                EXPECT_EQ(guard.Result(), c.entered);
            }
            EXPECT_EQ(capture.Contains(L"Failed to initialise COM with error [0x80010106]"), FAILED(c.entered));
            const DWORD model = c.before == ~0u ? DWORD{COINIT_MULTITHREADED} : c.before;
            EXPECT_EQ(CoInitializeEx(nullptr, model), c.afterwards) << c.before;
            CoUninitialize();
            if (c.before != ~0u) CoUninitialize();
        }).join();
    }
}

// The copy holds the process user's SID and stays valid once its token is closed.
TEST(AccessTokens, TheSidCopyOutlivesItsTokenAndFailuresCarryTheSystemCode) {
    const int baseline = Base::Object::LiveObjectCount();
    const Base::UserSid sid = Base::GetUserSid(OpenCurrentProcessToken());
    EXPECT_EQ(Base::Object::LiveObjectCount(), baseline);
    Base::UniqueHandle token;
    BYTE user[256];
    DWORD length = 0;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put()) &&
                GetTokenInformation(token.Get(), TokenUser, user, sizeof(user), &length));
    EXPECT_TRUE(EqualSid(sid.Get(), reinterpret_cast<TOKEN_USER*>(user)->User.Sid));
    EXPECT_EQ(LocalSize(sid.Get()), GetLengthSid(sid.Get()));
    // Failures are logged and thrown with the system's code.
    Testing::EventCapture capture;
    const auto notAToken = Base::MakeRef<Base::AccessToken>(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    EXPECT_THROW(Base::GetUserSid(notAToken), Base::ExceptionWin32);
    try {
        Base::GetTokenUserInformation(notAToken);
        FAIL() << "an event handle is not a token";
    } catch (const Base::ExceptionWin32& e) {
        EXPECT_NE(e.Code(), 0u);
        EXPECT_TRUE(capture.Contains(L"Failed to get token [" + Testing::PointerText(notAToken->Handle()) +
                                     L"] information [1] error [" + std::to_wstring(e.Code()) + L"]"));
    }
}
