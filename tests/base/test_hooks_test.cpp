#include <gtest/gtest.h>

#include <windows.h>

#include "base/test_hooks.h"

// The environment may only shorten a duration, and never below its floor.
TEST(TestableDuration, StaysBetweenFloorAndDefault) {
    const struct {
        const wchar_t* value;
        uint32_t expected;
    } cases[] = {
        {nullptr, 60000}, {L"250", 250}, {L"0", 10},      {L"5", 10},       {L"60000", 60000},
        {L"600000", 60000}, {L"99999999999999999999", 60000}, {L"-1", 60000}, {L"12x", 60000}, {L"", 60000},
    };
    for (const auto& c : cases) {
        SetEnvironmentVariableW(L"KX_TEST_HOOK_MS", c.value);
        EXPECT_EQ(TestableDuration(L"KX_TEST_HOOK_MS", 60000, 10), c.expected) << (c.value ? c.value : L"(unset)");
    }
    SetEnvironmentVariableW(L"KX_TEST_HOOK_MS", nullptr);
}
