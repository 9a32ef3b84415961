#include "base/test_hooks.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>

uint32_t TestableDuration(const wchar_t* variable, uint32_t defaultMs, uint32_t floorMs) {
    wchar_t value[32];
    const DWORD length = GetEnvironmentVariableW(variable, value, 32);
    if (length == 0 || length >= 32) return defaultMs;
    wchar_t* end = nullptr;
    const unsigned long long parsed = wcstoull(value, &end, 10);
    if (end == value || *end != L'\0' || value[0] == L'-') return defaultMs;
    return static_cast<uint32_t>(std::clamp<unsigned long long>(parsed, floorMs, defaultMs));
}
