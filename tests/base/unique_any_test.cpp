#include <gtest/gtest.h>

#include <windows.h>

#include "base/unique_any.h"

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
