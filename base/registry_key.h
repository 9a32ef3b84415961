#pragma once
// RegistryKey owns one open registry key handle, or wraps one of the
// predefined roots (HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CURRENT_USER), which
// are never closed. Subkeys come back as new keys owning their own handles;
// a child does not keep its parent alive. Every operation writes a trace line
// with the handle value; "not found" is an ordinary result, every other
// failure is logged and thrown as a Base::Exception.
//
// Access masks are passed through unchanged: callers pick a registry view by
// adding KEY_WOW64_32KEY or KEY_WOW64_64KEY.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/object.h"

namespace Base {

class RegistryKey : public Object {
public:
    // Takes ownership of an open handle, or wraps a predefined root as is.
    explicit RegistryKey(HKEY handle) : handle(handle) {}

    static Ref<RegistryKey> Root(HKEY predefined) { return MakeRef<RegistryKey>(predefined); }

    Ref<RegistryKey> CreateSubKey(const std::wstring& subKey, DWORD options, REGSAM desired);
    Ref<RegistryKey> OpenSubKey(const std::wstring& subKey, REGSAM desired);
    bool SubKeyExists(const std::wstring& subKey, REGSAM desired);
    // A missing subtree is not an error.
    void DeleteTree(const std::wstring& subKey);
    // One-shot: the event is signalled once; arm again after each signal.
    void WatchForChanges(bool watchSubtree, DWORD filter, HANDLE event);
    // The kernel's name of the key, such as "\REGISTRY\USER\S-1-5-...".
    std::wstring GetPath();
    void SetDword(const std::wstring& name, DWORD value);
    void SetString(const std::wstring& name, const std::wstring& value);
    // False when the value does not exist; `out` is then left as it was.
    // REG_EXPAND_SZ data comes back as stored; trailing NULs are dropped.
    bool QueryString(const std::wstring& name, std::wstring& out);
    // False when the value does not exist; throws when it is not a REG_DWORD.
    bool QueryDword(const std::wstring& name, DWORD& out);
    // Names of the direct subkeys, in the registry's order.
    std::vector<std::wstring> SubKeyNames();

    HKEY Handle() const { return handle; }

protected:
    ~RegistryKey() override;

private:
    HKEY handle;
};

}  // namespace Base

using Base::RegistryKey;
