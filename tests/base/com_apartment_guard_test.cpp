#include <gtest/gtest.h>

#include <windows.h>

#include <objbase.h>

#include <thread>

#include "base/com_apartment_guard.h"
#include "support/event_capture.h"

namespace {

// COM state is per thread: every case runs on a fresh one.
template <typename Body>
void OnFreshThread(Body body) {
    std::thread(body).join();
}

}  // namespace

TEST(ComApartmentGuard, EntersAndLeavesASingleThreadedApartment) {
    OnFreshThread([] {
        Testing::EventCapture capture;
        {
            ComApartmentGuard guard(COINIT_APARTMENTTHREADED);
            EXPECT_EQ(guard.Result(), S_OK);
            EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
        }
        // Left again: the thread may now choose the other model.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
        const auto lines = capture.Messages();
        const std::vector<std::wstring> expected = {L"",  L"Initialising COM with flags [2]...", L"Done initialising COM.",
                                                    L"[0x0]", L"", L"Uninitialising COM...",
                                                    L"Done uninitialising COM.", L""};
        EXPECT_EQ(lines, expected);
    });
}

TEST(ComApartmentGuard, NestedEntryIsBalanced) {
    OnFreshThread([] {
        ComApartmentGuard outer(COINIT_APARTMENTTHREADED);
        {
            Testing::EventCapture capture;
            ComApartmentGuard inner(COINIT_APARTMENTTHREADED);
            EXPECT_EQ(inner.Result(), S_FALSE);
            EXPECT_TRUE(capture.Contains(L"Done initialising COM."));
            EXPECT_TRUE(capture.Contains(L"[0x1]"));
        }
        // The outer apartment is still entered.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
        CoUninitialize();
    });
}

TEST(ComApartmentGuard, AMultiThreadedThreadIsLeftAlone) {
    OnFreshThread([] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        Testing::EventCapture capture;
        {
            ComApartmentGuard guard(COINIT_APARTMENTTHREADED);
            EXPECT_EQ(guard.Result(), RPC_E_CHANGED_MODE);
        }
        EXPECT_TRUE(capture.Contains(L"Failed to initialise COM with error [0x80010106]"));
        EXPECT_TRUE(capture.Contains(L"[0x80010106]"));
        EXPECT_FALSE(capture.Contains(L"Uninitialising COM..."));
        // Still the thread's own apartment, entered once.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
        CoUninitialize();
        CoUninitialize();
    });
}
