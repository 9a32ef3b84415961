#include "autoupdate/installer.h"

#include <windows.h>
#include <msi.h>

#include <vector>

#include "base/exception.h"
#include "base/file_info.h"
#include "base/log.h"
#include "base/test_hooks.h"
#include "base/unique_any.h"

const wchar_t kUninstallKeyWow64[] = L"SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const wchar_t kUninstallKeyNative[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const wchar_t kBundleUpgradeCode[] = L"{6CBFB5AA-79A5-4D17-979F-413E4DD253BA}";
const wchar_t kClient64UpgradeCode[] = L"{C6E3A46C-3CB5-41CD-8679-2F2FA296A2B6}";
const wchar_t kClient86UpgradeCode[] = L"{A54424C7-658A-455B-ABDB-D31D90E9EAAE}";

namespace {

constexpr uint32_t kInstallerWaitMs = 300000;
const wchar_t kSilentSwitches[] = L" /quiet /norestart ";
const wchar_t kWindowsInstaller[] = L"msiexec.exe";

// Indexes that fail one after another before the enumeration gives up: a
// broken registration fails its index only, but a call that fails for every
// index (a bad argument) would otherwise never end.
constexpr DWORD kMaxFailedIndexes = 16;

struct ClientPackage {
    const wchar_t* upgradeCode;
    const wchar_t* logSwitch;
    const char* failure;
};

const ClientPackage kClientPackages[] = {
    {kClient64UpgradeCode, L" /lv*x client64_uninstall.txt", "Uninstall of x64 client msi failed."},
    {kClient86UpgradeCode, L" /lv*x client86_uninstall.txt", "Uninstall of x86 client msi failed."},
};

// One RunInstaller call with its ENTER and EXIT lines; throws on failure.
void RunStep(const std::wstring& workingFolder, const std::wstring& program, const std::wstring& arguments,
             const char* failure, InstallerFile* heldUntilStarted = nullptr) {
    LogEnter(nullptr);
    const uint32_t code = RunInstaller(workingFolder, program, arguments, heldUntilStarted);
    LogExit(nullptr);
    if (!IsInstallerSuccess(code)) throw AutoUpdateException(failure, static_cast<int32_t>(code));
}

// Unquoted, a path with a blank such as C:\Some Folder\setup.exe lets
// CreateProcessW start C:\Some.exe instead, with this service's rights.
std::wstring QuotedIfBlank(const std::wstring& path) {
    return path.find(L' ') == std::wstring::npos ? path : L"\"" + path + L"\"";
}

}  // namespace

uint32_t InstallerWaitMs() { return TestableDuration(L"KX_INSTALLER_WAIT_MS", kInstallerWaitMs, 100); }

bool IsInstallerSuccess(uint32_t exitCode) {
    return exitCode == ERROR_SUCCESS || exitCode == ERROR_SUCCESS_REBOOT_REQUIRED ||
           exitCode == ERROR_SUCCESS_REBOOT_INITIATED;
}

uint32_t RunInstaller(const std::wstring& workingFolder, const std::wstring& program, const std::wstring& arguments,
                      InstallerFile* heldUntilStarted) {
    LogEnter(nullptr);
    const std::wstring commandLine = program + kSilentSwitches + arguments;
    LogInfo(L"Working directory will be: [%s]", workingFolder.c_str());
    LogInfo(L"Executing commandline: [%s]", commandLine.c_str());
    // CreateProcessW may write into its command line.
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    const BOOL started = CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                        workingFolder.c_str(), &startup, &info);
    const DWORD error = GetLastError();
    if (heldUntilStarted != nullptr) heldUntilStarted->Release();
    if (!started) {
        LogError(L"CreateProcess failed (%d)", static_cast<int>(error));
        return error;
    }
    const Base::UniqueHandle process(info.hProcess);
    const Base::UniqueHandle thread(info.hThread);
    WaitForSingleObject(process.Get(), InstallerWaitMs());
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process.Get(), &exitCode)) {
        exitCode = GetLastError();
        LogError(L"GetExitCodeProcess failed error [%lu]", exitCode);
        return exitCode;
    }
    LogInfo(L"Installation completed, exitcode: [%d]", static_cast<int>(exitCode));
    LogExit(nullptr);
    return exitCode;
}

bool FindBundleUninstallString(const std::wstring& uninstallKeyPath, std::wstring& uninstallString) {
    Base::UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, uninstallKeyPath.c_str(), 0, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS,
                      key.Put()) != ERROR_SUCCESS) {
        return false;
    }
    bool found = false;
    for (DWORD index = 0;; ++index) {
        wchar_t name[1024];
        DWORD nameLength = 1024;
        if (RegEnumKeyExW(key.Get(), index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        // The value is a list of strings: the first one is the code.
        wchar_t code[127] = {};
        DWORD codeBytes = 253;
        if (RegGetValueW(key.Get(), name, L"BundleUpgradeCode", RRF_RT_REG_MULTI_SZ, nullptr, code, &codeBytes) !=
                ERROR_SUCCESS ||
            _wcsicmp(code, kBundleUpgradeCode) != 0) {
            continue;
        }
        wchar_t command[512] = {};
        DWORD commandBytes = 1024;
        if (RegGetValueW(key.Get(), name, L"UninstallString", RRF_RT_REG_SZ, nullptr, command, &commandBytes) ==
            ERROR_SUCCESS) {
            found = true;
            uninstallString = command;
        }
    }
    return found;
}

bool FindRelatedProduct(const std::wstring& upgradeCode, std::wstring& productCode) {
    bool found = false;
    DWORD failedInARow = 0;
    for (DWORD index = 0;; ++index) {
        wchar_t product[39] = {};
        const UINT result = MsiEnumRelatedProductsW(upgradeCode.c_str(), 0, index, product);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result == ERROR_SUCCESS) {
            productCode = product;
            found = true;
            failedInARow = 0;
        } else if (++failedInARow == kMaxFailedIndexes) {
            LogError(L"Stopped enumerating products related to [%s] after [%lu] failed indexes, last error [%lu]",
                     upgradeCode.c_str(), failedInARow, static_cast<unsigned long>(result));
            break;
        }
    }
    return found;
}

void RunUpdateInstaller(const std::wstring& cacheFolder, InstallerFile& installer, const std::wstring& args) {
    RunStep(cacheFolder, QuotedIfBlank(installer.Path()), args, "Installation failed.", &installer);
}

void RemoveInstalledClient(const std::wstring& cacheFolder, const std::wstring& args) {
    std::wstring uninstallString;
    if (!FindBundleUninstallString(kUninstallKeyWow64, uninstallString)) {
        FindBundleUninstallString(kUninstallKeyNative, uninstallString);
    }
    if (!uninstallString.empty()) {
        RunStep(cacheFolder, uninstallString, args, "Uninstall of bootstrapper.exe failed.");
    }
    for (const ClientPackage& package : kClientPackages) {
        std::wstring productCode;
        if (!FindRelatedProduct(package.upgradeCode, productCode)) continue;
        const std::wstring program = QuotedIfBlank(SystemFolderPath(kWindowsInstaller));
        RunStep(cacheFolder, program, L"/x " + productCode + package.logSwitch, package.failure);
    }
}
