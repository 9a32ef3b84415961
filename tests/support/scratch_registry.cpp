#include "support/scratch_registry.h"

#include <atomic>
#include <cstdint>
#include <cwchar>

namespace Testing {

ScratchRegistryKey::ScratchRegistryKey(HKEY root, REGSAM view) : root(root), view(view) {
    static std::atomic<int> counter{0};
    subKey = L"Software\\KxTests\\" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
    RegCreateKeyExW(root, subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &handle, nullptr);
}

ScratchRegistryKey::~ScratchRegistryKey() {
    if (handle) RegCloseKey(handle);
    HKEY tests = nullptr;
    if (RegOpenKeyExW(root, L"Software\\KxTests", 0, KEY_ALL_ACCESS | view, &tests) == ERROR_SUCCESS) {
        RegDeleteTreeW(tests, subKey.substr(wcslen(L"Software\\KxTests\\")).c_str());
        RegCloseKey(tests);
    }
    RegDeleteKeyExW(root, L"Software\\KxTests", view, 0);  // only succeeds once empty
}

std::wstring PointerText(const void* value) {
    // The system's printf writes 16 upper-case hexadecimal digits.
    wchar_t text[17];
    const uintptr_t bits = reinterpret_cast<uintptr_t>(value);
    for (int i = 0; i < 16; ++i) text[i] = L"0123456789ABCDEF"[(bits >> (60 - 4 * i)) & 0xF];
    text[16] = L'\0';
    return text;
}

}  // namespace Testing
