#pragma once

#include <windows.h>

namespace Testing {

// Polls a condition every 10 ms for at most `limitMs`, instead of sleeping for
// a guessed time; true once it holds.
template <typename Condition>
bool WaitUntil(Condition condition, DWORD limitMs = 30000) {
    const ULONGLONG end = GetTickCount64() + limitMs;
    for (;;) {
        if (condition()) return true;
        if (GetTickCount64() > end) return false;
        Sleep(10);
    }
}

}  // namespace Testing
