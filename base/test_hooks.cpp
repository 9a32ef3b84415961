#include "base/test_hooks.h"

#include <windows.h>

#include <cwchar>

uint32_t TestableDuration(const wchar_t* variable, uint32_t defaultMs) {
    wchar_t value[32];
    const DWORD length = GetEnvironmentVariableW(variable, value, 32);
    if (length == 0 || length >= 32) return defaultMs;
    wchar_t* end = nullptr;
    const unsigned long parsed = wcstoul(value, &end, 10);
    return (end != value && *end == L'\0') ? static_cast<uint32_t>(parsed) : defaultMs;
}
