#include "bundle_entry.h"

#include "base/unique_any.h"

namespace {

const wchar_t kEntryKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VeltrastoneClientSetup";
// A list of strings: the code, then the empty string that ends the list.
const wchar_t kBundleUpgradeCode[] = L"{6CBFB5AA-79A5-4D17-979F-413E4DD253BA}\0";

DWORD SetValue(HKEY key, const wchar_t* name, DWORD type, const void* data, size_t bytes) {
    return RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(bytes));
}

DWORD SetText(HKEY key, const wchar_t* name, const std::wstring& text) {
    return SetValue(key, name, REG_SZ, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

}  // namespace

DWORD WriteBundleEntry(const std::wstring& version, const std::wstring& keptCopy) {
    Base::UniqueRegKey key;
    DWORD error = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEntryKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                                  nullptr, key.Put(), nullptr);
    if (error != ERROR_SUCCESS) return error;
    const std::wstring uninstall = L"\"" + keptCopy + L"\" /uninstall";
    const DWORD one = 1;
    for (DWORD result :
         {SetValue(key.Get(), L"BundleUpgradeCode", REG_MULTI_SZ, kBundleUpgradeCode, sizeof(kBundleUpgradeCode)),
          SetText(key.Get(), L"DisplayName", L"Veltrastone Client"),
          SetText(key.Get(), L"DisplayVersion", version), SetText(key.Get(), L"Publisher", L"Veltrastone"),
          SetText(key.Get(), L"UninstallString", uninstall),
          SetText(key.Get(), L"QuietUninstallString", uninstall + L" /quiet"),
          SetValue(key.Get(), L"NoModify", REG_DWORD, &one, sizeof(one)),
          SetValue(key.Get(), L"NoRepair", REG_DWORD, &one, sizeof(one))}) {
        if (error == ERROR_SUCCESS) error = result;
    }
    return error;
}

void RemoveBundleEntry() { RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kEntryKey, KEY_WOW64_64KEY, 0); }
