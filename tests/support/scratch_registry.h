#pragma once
// A registry key that exists for one test: created below
// HKCU\Software\KxTests with a name unique to the process, removed with its
// whole subtree afterwards.

#include <windows.h>

#include <string>

namespace Testing {

class ScratchRegistryKey {
public:
    explicit ScratchRegistryKey(HKEY root = HKEY_CURRENT_USER, REGSAM view = 0);
    ~ScratchRegistryKey();
    ScratchRegistryKey(const ScratchRegistryKey&) = delete;
    ScratchRegistryKey& operator=(const ScratchRegistryKey&) = delete;

    HKEY Root() const { return root; }
    // Path below the root.
    const std::wstring& SubKey() const { return subKey; }
    HKEY Handle() const { return handle; }

private:
    HKEY root;
    REGSAM view;
    std::wstring subKey;
    HKEY handle = nullptr;
};

// The text a wide printf gives for a pointer-sized value with "%p".
std::wstring PointerText(const void* value);

}  // namespace Testing
