#include "support/installed_product.h"

#include "autoupdate/download_cache.h"
#include "autoupdate/installer.h"
#include "support/child_process.h"
#include "support/installed_service.h"
#include "support/remove_tree.h"
#include "support/worker_cleanup.h"

namespace Testing {
namespace {

const wchar_t kServiceName[] = L"KxClientService";
const wchar_t kBundleEntry[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VeltrastoneClientSetup";

std::wstring CompanyFolder() { return std::wstring(_wgetenv(L"ProgramFiles")) + L"\\Veltrastone"; }

void DeleteFiles(const std::wstring& folder, const wchar_t* pattern) {
    WIN32_FIND_DATAW entry;
    const Base::UniqueFindHandle find(FindFirstFileW((folder + pattern).c_str(), &entry));
    for (bool more = find.IsValid(); more; more = FindNextFileW(find.Get(), &entry)) {
        DeleteFileW((folder + entry.cFileName).c_str());
    }
}

UniqueServiceHandle OpenService(DWORD access) {
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    return UniqueServiceHandle(manager ? OpenServiceW(manager.Get(), kServiceName, access) : nullptr);
}

}  // namespace

std::wstring InstalledProduct::ServiceExecutable() { return CompanyFolder() + L"\\Client\\kxclient_service.exe"; }

DWORD InstalledProduct::ServicePid() {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    const UniqueServiceHandle service = OpenService(SERVICE_QUERY_STATUS);
    return service && QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                           sizeof(status), &needed) &&
                   status.dwCurrentState == SERVICE_RUNNING
               ? status.dwProcessId
               : 0;
}

std::vector<std::wstring> InstalledProduct::UninstallEntryVersions() {
    std::vector<std::wstring> versions;
    Base::UniqueRegKey key;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKeyNative, 0, KEY_READ | KEY_WOW64_64KEY, key.Put());
    wchar_t name[256], text[256];
    for (DWORD i = 0, length = 256; key && RegEnumKeyExW(key.Get(), i, name, &length, nullptr, nullptr, nullptr,
                                                         nullptr) == ERROR_SUCCESS;
         ++i, length = 256) {
        DWORD bytes = sizeof(text);
        if (RegGetValueW(key.Get(), name, L"DisplayName", RRF_RT_REG_SZ, nullptr, text, &bytes) != ERROR_SUCCESS ||
            wcsncmp(text, L"Veltrastone Client", 18) != 0) {
            continue;
        }
        bytes = sizeof(text);
        if (RegGetValueW(key.Get(), name, L"DisplayVersion", RRF_RT_REG_SZ, nullptr, text, &bytes) != ERROR_SUCCESS) {
            text[0] = L'\0';
        }
        versions.push_back(text);
    }
    return versions;
}

void InstalledProduct::Remove() {
    // No worker carries an update on meanwhile; the marks for deletion at
    // restart of the worker copy and of a removed setup program go too.
    { const WorkerCleanup workers; }
    std::wstring productCode;
    for (int i = 0; i < 3 && FindRelatedProduct(kClient64UpgradeCode, productCode); ++i) {
        RunToEnd(L"msiexec /x " + productCode + L" /qn", 120000);
    }
    // A case that failed midway may leave the service without its package.
    if (const UniqueServiceHandle service = OpenService(SERVICE_STOP | DELETE)) {
        SERVICE_STATUS status;
        ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
        DeleteService(service.Get());
    }
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kBundleEntry, KEY_WOW64_64KEY, 0);
    RemoveTree(CompanyFolder());
    const DownloadCache cache;
    DeleteFiles(cache.Folder(), L"*.exe");
    DeleteFiles(cache.Folder(), L"*.txt");
}

std::wstring FileVersion(const std::wstring& path) {
    std::vector<BYTE> data(GetFileVersionInfoSizeW(path.c_str(), nullptr));
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (data.empty() || !GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(data.size()), data.data()) ||
        !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length)) {
        return L"";
    }
    return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionMS)) +
           L"." + std::to_wstring(HIWORD(info->dwFileVersionLS));
}

}  // namespace Testing
