// kxclient-setup: installs or upgrades the Veltrastone Client Service from the
// package it carries, or removes it, and keeps its own entry in the list of
// installed programs. The exit code is msiexec's (0, 3010 and 1641 mean
// success), a system error code when a step around it fails, or 1639 for a
// command line it does not know.

#include <windows.h>

#include <cstdio>
#include <string>

#include "bundle_entry.h"
#include "embedded_package.h"
#include "setup_folder.h"
#include "setup_options.h"
#include "setup_resources.h"
#include "windows_installer.h"

namespace {

std::wstring ResourceString(UINT id) {
    const wchar_t* text = nullptr;
    // With no buffer length, LoadStringW hands out the resource's own text.
    const int length = LoadStringW(nullptr, id, reinterpret_cast<wchar_t*>(&text), 0);
    return length > 0 ? std::wstring(text, length) : std::wstring();
}

std::wstring UserInterfaceSwitches(const SetupOptions& options) {
    return std::wstring(options.quiet ? L" /qn" : L" /qb") + (options.noRestart ? L" /norestart" : L"");
}

DWORD Failed(DWORD code, const char* step) {
    std::fprintf(stderr, "kxclient-setup: %s failed with error %lu\n", step, code);
    return code;
}

DWORD Install(const SetupOptions& options, const std::wstring& version, const std::wstring& productCode) {
    const SetupFolder folder;
    DWORD code = folder.Create();
    if (code != ERROR_SUCCESS) return Failed(code, "creating the setup folder");
    // The same version again changes nothing.
    if (!IsProductInstalled(productCode)) {
        const std::wstring package = folder.Package(version);
        code = WriteEmbeddedPackage(package);
        if (code != ERROR_SUCCESS) return Failed(code, "unpacking the package");
        // Only this entry is shown among the installed programs, not the package's own.
        code = RunMsiexec(L"/i \"" + package + L"\" ARPSYSTEMCOMPONENT=1" + UserInterfaceSwitches(options));
        DeleteFileW(package.c_str());
        if (!IsInstallerSuccess(code)) return Failed(code, "msiexec");
    }
    DWORD kept = folder.KeepCopyOfSelf();
    if (kept != ERROR_SUCCESS) return Failed(kept, "keeping a copy of the setup program");
    kept = WriteBundleEntry(version, folder.KeptCopy());
    return kept == ERROR_SUCCESS ? code : Failed(kept, "registering the setup program");
}

// Removes this version's product; one that a later package already replaced
// or removed leaves nothing to do but the entry.
DWORD Uninstall(const SetupOptions& options, const std::wstring& productCode) {
    DWORD code = ERROR_SUCCESS;
    if (IsProductInstalled(productCode)) {
        code = RunMsiexec(L"/x " + productCode + UserInterfaceSwitches(options));
        if (!IsInstallerSuccess(code)) return Failed(code, "msiexec");
    }
    RemoveBundleEntry();
    SetupFolder().RemoveKeptCopy();
    return code;
}

}  // namespace

int wmain(int count, wchar_t** arguments) {
    const std::optional<SetupOptions> options = ParseSetupOptions(count, arguments);
    const std::wstring version = ResourceString(KX_VERSION_STRING);
    if (!options || options->help) {
        std::printf(
            "Veltrastone Client Setup %ls\n"
            "Usage: kxclient-setup.exe [/quiet] [/norestart] [/uninstall]\n"
            "  installs or upgrades the Veltrastone Client Service, or with /uninstall removes it\n"
            "  /quiet      no user interface\n"
            "  /norestart  never restart the computer\n"
            "Exit code: msiexec's (0, 3010 and 1641 mean success), or a system error code.\n",
            version.c_str());
        return options ? ERROR_SUCCESS : ERROR_INVALID_COMMAND_LINE;
    }
    const std::wstring productCode = ResourceString(KX_PRODUCT_CODE_STRING);
    return static_cast<int>(options->uninstall ? Uninstall(*options, productCode)
                                               : Install(*options, version, productCode));
}
