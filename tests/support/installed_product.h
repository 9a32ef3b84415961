#pragma once
// The product as its packages install it, for one test case. Construction and destruction
// remove what an earlier case or this one left: workers, packages with the service's upgrade
// code (and so the service), the setup program's entry, Program Files\Veltrastone, installers
// and msiexec's log in the cache. It holds the registration lock: the service repairs them.

#include <windows.h>

#include <string>
#include <vector>

#include "autoupdate/download_cache.h"
#include "autoupdate/installer.h"
#include "autoupdate/installer_fixtures.h"
#include "support/child_process.h"
#include "support/installed_service.h"
#include "support/remove_tree.h"
#include "support/worker_cleanup.h"

namespace Testing {

class InstalledProduct {
public:
    InstalledProduct() { Remove(); }
    ~InstalledProduct() { Remove(); }
    InstalledProduct(const InstalledProduct&) = delete;
    InstalledProduct& operator=(const InstalledProduct&) = delete;

    static std::wstring Folder() { return std::wstring(_wgetenv(L"ProgramFiles")) + L"\\Veltrastone"; }
    static std::wstring ServiceExecutable() { return Folder() + L"\\Client\\kxclient_service.exe"; }

    // The running service's process id; 0 when it does not run.
    static DWORD ServicePid() {
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        const UniqueServiceHandle service(OpenServiceW(manager.Get(), L"KxClientService", SERVICE_QUERY_STATUS));
        const bool known = service && QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO,
                                                           reinterpret_cast<BYTE*>(&status), sizeof(status), &needed);
        return known && status.dwCurrentState == SERVICE_RUNNING ? status.dwProcessId : 0;
    }

    // DisplayVersion of each installed program whose DisplayName begins "Veltrastone Client".
    static std::vector<std::wstring> UninstallEntryVersions() {
        std::vector<std::wstring> shown;
        Base::UniqueRegKey key;
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKeyNative, 0, KEY_READ | KEY_WOW64_64KEY, key.Put());
        wchar_t name[256];
        for (DWORD i = 0, n = 256; key && !RegEnumKeyExW(key.Get(), i, name, &n, 0, 0, 0, 0); ++i, n = 256) {
            const auto value = [&](const wchar_t* valueName) {
                wchar_t text[256] = L"";
                DWORD bytes = sizeof(text);
                RegGetValueW(key.Get(), name, valueName, RRF_RT_REG_SZ, nullptr, text, &bytes);
                return std::wstring(text);
            };
            if (value(L"DisplayName").rfind(L"Veltrastone Client", 0) == 0) shown.push_back(value(L"DisplayVersion"));
        }
        return shown;
    }

private:
    static void Remove() {
        // Workers first; the marks for deletion at restart go with them.
        { const WorkerCleanup workers; }
        std::wstring productCode;
        for (int i = 0; i < 3 && FindRelatedProduct(kClient64UpgradeCode, productCode); ++i) {
            RunToEnd(L"msiexec /x " + productCode + L" /qn", 120000);
        }
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kUninstallKeyNative) + L"\\VeltrastoneClientSetup").c_str(),
                        KEY_WOW64_64KEY, 0);
        RemoveTree(Folder());
        const std::wstring cache = DownloadCache().Folder();
        for (const std::wstring& name : ProgramsInCache(cache)) DeleteFileW((cache + name).c_str());
        DeleteFileW((cache + L"client64_uninstall.txt").c_str());
    }

    RegistrationLock registrationLock;
};

// "MAJOR.MINOR.PATCH" of a file's version resource; empty without one.
inline std::wstring FileVersion(const std::wstring& path) {
    std::vector<BYTE> data(GetFileVersionInfoSizeW(path.c_str(), nullptr) + 1);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(data.size()), data.data()) ||
        !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length)) return L"";
    return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionMS)) +
           L"." + std::to_wstring(HIWORD(info->dwFileVersionLS));
}

}  // namespace Testing
