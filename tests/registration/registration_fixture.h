#pragma once
// A simulated Citrix ICA client, Amazon WorkSpaces client and registered client
// module, for registration tests and benchmarks: the real registry paths the
// monitors read, and real files in a scratch folder. The registry places are
// shared by the prefix, so a fixture holds the registration lock for its whole
// life and deletes the keys it writes on the way in and on the way out.

#include <windows.h>

#include <cstdint>
#include <string>

#include "base/unique_any.h"
#include "support/child_process.h"
#include "support/registration_lock.h"
#include "support/scratch.h"
#include "support/wait_until.h"

namespace Fixture {

constexpr REGSAM kView32 = KEY_WOW64_32KEY;
constexpr REGSAM kView64 = 0;

constexpr wchar_t kCitrixRoot[] = L"SOFTWARE\\Citrix";
constexpr wchar_t kInstallKey[] = L"SOFTWARE\\Citrix\\Install\\ICA Client";
constexpr wchar_t kChannelKey[] =
    L"SOFTWARE\\Citrix\\ICA Client\\Engine\\Configuration\\Advanced\\Modules\\Veltrastone";
constexpr wchar_t kIcaKey[] = L"SOFTWARE\\Citrix\\ICA Client\\Engine\\Configuration\\Advanced\\Modules\\ICA 3.0";
constexpr wchar_t kModuleClsid[] = L"Software\\Classes\\CLSID\\{D7FC6CC5-7711-40F0-9E95-F30D319E9916}";
inline const std::wstring kModuleKey = std::wstring(kModuleClsid) + L"\\InProcServer32";
constexpr wchar_t kWorkSpacesClass[] = L"SOFTWARE\\Classes\\workspaces";
constexpr wchar_t kOpenCommandKey[] = L"SOFTWARE\\Classes\\workspaces\\shell\\open\\command";
constexpr wchar_t kCleanupKey[] = L"SYSTEM\\CurrentControlSet\\Control\\kxclient\\Cleanup";
constexpr wchar_t kCleanupValue[] = L"AmazonWorkSpaceClients";
// The end of the failure line of a string value found with another type.
inline const std::wstring kNotAString = L" error [Unable to convert STRING registry value]";

inline LONG SetValue(REGSAM view, const std::wstring& path, const std::wstring& name, DWORD type, const void* data,
                     DWORD bytes, HKEY root = HKEY_LOCAL_MACHINE) {
    Base::UniqueRegKey key;
    const LONG result =
        RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, key.Put(), nullptr);
    return result ? result : RegSetValueExW(key.Get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), bytes);
}

inline LONG SetString(REGSAM view, const std::wstring& path, const std::wstring& name, const std::wstring& value,
                      DWORD type = REG_SZ, HKEY root = HKEY_LOCAL_MACHINE) {
    return SetValue(view, path, name, type, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)),
                    root);
}

inline LONG SetDword(REGSAM view, const std::wstring& path, const std::wstring& name, DWORD value) {
    return SetValue(view, path, name, REG_DWORD, &value, sizeof(value));
}

inline bool KeyExists(REGSAM view, const std::wstring& path) {
    Base::UniqueRegKey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, key.Put()) == ERROR_SUCCESS;
}

// A string value's data without trailing NULs, or "<missing>".
inline std::wstring StringOr(REGSAM view, const std::wstring& path, const std::wstring& name,
                             HKEY root = HKEY_LOCAL_MACHINE) {
    Base::UniqueRegKey key;
    wchar_t buffer[2048];
    DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
    DWORD type = 0;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | view, key.Put()) != ERROR_SUCCESS ||
        RegQueryValueExW(key.Get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes) ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return L"<missing>";
    }
    std::wstring value(buffer, bytes / sizeof(wchar_t));
    while (!value.empty() && value.back() == L'\0') value.pop_back();
    return value;
}

inline void DeleteKey(REGSAM view, const std::wstring& path, HKEY root = HKEY_LOCAL_MACHINE) {
    const size_t split = path.find_last_of(L'\\');
    Base::UniqueRegKey parent;
    if (RegOpenKeyExW(root, path.substr(0, split).c_str(), 0, KEY_ALL_ACCESS | view, parent.Put()) == ERROR_SUCCESS) {
        RegDeleteTreeW(parent.Get(), path.substr(split + 1).c_str());
    }
}

inline uint64_t FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

inline std::wstring CleanupList() { return StringOr(0, kCleanupKey, kCleanupValue); }

inline bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

class Installation {
public:
    Installation() {
        RemoveAllKeys();
        for (const std::wstring& path : {Root() + L"\\Client", ClientFolder(32), ClientFolder(64), Root() + L"\\Citrix",
                                         CitrixFolder(), Root() + L"\\WorkSpaces", WorkSpacesFolder()}) {
            CreateDirectoryW(path.c_str(), nullptr);
        }
        CopyFileW((standIns + L"x86\\kxclient.dll").c_str(), Module(32).c_str(), FALSE);
        CopyFileW((standIns + L"x64\\kxclient.dll").c_str(), Module(64).c_str(), FALSE);
    }
    ~Installation() { RemoveAllKeys(); }
    Installation(const Installation&) = delete;
    Installation& operator=(const Installation&) = delete;

    const std::wstring& Root() const { return folder.Path(); }
    std::wstring ClientFolder(int bitness) const { return Root() + L"\\Client\\x" + (bitness == 32 ? L"86" : L"64"); }
    std::wstring Module(int bitness) const { return ClientFolder(bitness) + L"\\kxclient.dll"; }
    std::wstring CitrixFolder() const { return Root() + L"\\Citrix\\ICA Client"; }
    std::wstring CitrixCopy() const { return CitrixFolder() + L"\\kxclient.dll"; }
    std::wstring WorkSpacesFolder() const { return Root() + L"\\WorkSpaces\\Client"; }
    std::wstring Plugins() const { return WorkSpacesFolder() + L"\\vchan_plugins"; }
    std::wstring WorkSpacesCopy() const { return Plugins() + L"\\kxclient.dll"; }
    std::wstring WorkSpacesProgram() const { return WorkSpacesFolder() + L"\\workspaces.exe"; }

    void RegisterModule(int bitness) const { RegisterModulePath(bitness, Module(bitness)); }
    void RegisterModulePath(int bitness, const std::wstring& path, DWORD type = REG_SZ) const {
        SetString(bitness == 32 ? kView32 : kView64, kModuleKey, L"", path, type);
    }
    // Machine-wide, or in this process's user hive.
    void InstallCitrix(bool withModulesKey = true, HKEY hive = HKEY_LOCAL_MACHINE) const {
        SetString(kView32, kInstallKey, L"InstallFolder", CitrixFolder(), REG_SZ, hive);
        if (withModulesKey) SetString(kView32, kIcaKey, L"VirtualDriverEx", L"Thinwire3.0, ClientDrive", REG_SZ, hive);
    }
    // Default command: the quoted program and an argument.
    void InstallWorkSpaces(int bitness, bool withPlugins = true, const std::wstring& command = L"",
                           HKEY hive = HKEY_LOCAL_MACHINE) const {
        CopyFileW((standIns + (bitness == 32 ? L"x86" : L"x64") + L"\\workspaces.exe").c_str(),
                  WorkSpacesProgram().c_str(), FALSE);
        if (withPlugins) CreateDirectoryW(Plugins().c_str(), nullptr);
        SetString(kView64, kOpenCommandKey, L"", command.empty() ? L"\"" + WorkSpacesProgram() + L"\" \"%1\"" : command,
                  REG_SZ, hive);
    }
    void InstallAll() const {
        RegisterModule(32);
        RegisterModule(64);
        InstallCitrix();
        InstallWorkSpaces(64);
    }
    bool ChannelRepaired(HKEY hive = HKEY_LOCAL_MACHINE) const {
        return StringOr(kView32, kChannelKey, L"DriverName", hive) == L"Unsupported" &&
               StringOr(kView32, kChannelKey, L"DriverNameWin16", hive) == L"Unsupported" &&
               StringOr(kView32, kChannelKey, L"DriverNameWin32", hive) == L"kxclient.dll";
    }

private:
    // The machine's and this user's installations.
    static void RemoveAllKeys() {
        for (const HKEY hive : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
            DeleteKey(kView32, kCitrixRoot, hive);
            DeleteKey(kView64, kWorkSpacesClass, hive);
        }
        DeleteKey(kView32, kModuleClsid);
        DeleteKey(kView64, kModuleClsid);
        DeleteKey(kView64, L"SYSTEM\\CurrentControlSet\\Control\\kxclient");
    }

    Testing::RegistrationLock lock;  // first: held before the keys are touched
    Testing::ScratchFolder folder;
    // The stand-in binaries built beside the test and bench executables.
    const std::wstring standIns = Testing::TestBinaryFolder() + L"\\..\\fixtures\\";
};

using Testing::WaitUntil;

}  // namespace Fixture
