#include <gtest/gtest.h>

#include <windows.h>

#include "base/unique_any.h"

namespace {
bool IsOpen(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}
}  // namespace

TEST(UniqueAny, ClosesExactlyWhatItOwnsOnResetMoveAndDestruction) {
    HANDLE first = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE second = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        Base::UniqueHandle owner(first);
        owner.Reset(first);  // the same value stays open
        EXPECT_TRUE(IsOpen(first));
        Base::UniqueHandle other(std::move(owner));
        EXPECT_FALSE(owner.IsValid());
        other.Reset(second);
        EXPECT_FALSE(IsOpen(first));
        EXPECT_TRUE(IsOpen(second));
        HANDLE kept = other.Release();
        EXPECT_EQ(kept, second);
        *other.Put() = kept;
    }
    EXPECT_FALSE(IsOpen(second));
}

TEST(UniqueAny, FileHandlesTreatInvalidHandleValueAsEmpty) {
    Base::UniqueFileHandle file(CreateFileW(L"C:\\no such folder\\x", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                            nullptr));
    EXPECT_FALSE(file);
    Base::UniqueHandle event;
    EXPECT_FALSE(event);
}
