#pragma once
// Running installers silently, and finding what a downgrade must remove.
//
// Vocabulary: the installer is the downloaded program in the download cache;
// the bundle is the client's installer bundle as the machine's list of
// installed programs records it (an entry of an Uninstall key whose
// "BundleUpgradeCode" is the bundle's upgrade code, with an "UninstallString"
// command); the client packages are the 64-bit and 32-bit Windows Installer
// packages, found by their upgrade codes, each registration giving a product
// code that msiexec removes. Every program starts through RunInstaller with
// the silent switches, the cache folder as working folder and a bounded wait.
// Nothing here knows the update controller: it reports by exceptions only.

#include <cstdint>
#include <string>

#include "autoupdate/installer_file.h"

extern const wchar_t kUninstallKeyWow64[];
extern const wchar_t kUninstallKeyNative[];
extern const wchar_t kBundleUpgradeCode[];
extern const wchar_t kClient64UpgradeCode[];
extern const wchar_t kClient86UpgradeCode[];

// program + " /quiet /norestart " + arguments, started in workingFolder and
// awaited for at most InstallerWaitMs(). Returns the exit code (259 when the
// program is still running, which is left running), or the system error when
// it cannot be started or its exit code cannot be read. A held file is
// released once CreateProcessW has returned. Never throws.
uint32_t RunInstaller(const std::wstring& workingFolder, const std::wstring& program, const std::wstring& arguments,
                      InstallerFile* heldUntilStarted = nullptr);

// Runs the validated installer with the request's args; throws
// AutoUpdateException "Installation failed." with a failing exit code.
void RunUpdateInstaller(const std::wstring& cacheFolder, InstallerFile& installer, const std::wstring& args);

// Removes the bundle (with the request's args) and both client packages where
// present; throws AutoUpdateException at the first failing step.
void RemoveInstalledClient(const std::wstring& cacheFolder, const std::wstring& args);

// 0, 3010 (restart required) and 1641 (restart started) mean success.
bool IsInstallerSuccess(uint32_t exitCode);

// Five minutes; KX_INSTALLER_WAIT_MS shortens it for tests.
uint32_t InstallerWaitMs();

// The bundle's uninstall command from one Uninstall key below
// HKEY_LOCAL_MACHINE; with several matching entries the last one read wins.
bool FindBundleUninstallString(const std::wstring& uninstallKeyPath, std::wstring& uninstallString);

// The product code of a package registered with the upgrade code; with several,
// the last one enumerated.
bool FindRelatedProduct(const std::wstring& upgradeCode, std::wstring& productCode);
