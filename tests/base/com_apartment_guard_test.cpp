#include <gtest/gtest.h>

#include <windows.h>

#include <objbase.h>

#include <thread>

#include "base/com_apartment_guard.h"
#include "support/event_capture.h"

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
