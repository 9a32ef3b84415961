#pragma once
// Windows Installer as the setup program uses it.

#include <windows.h>

#include <string>

// msiexec.exe of the system folder, never one found through the search path,
// run to its end. Its exit code, or the system error when it cannot start.
DWORD RunMsiexec(const std::wstring& arguments);

// True when the product is installed for the machine.
bool IsProductInstalled(const std::wstring& productCode);

// Codes that msiexec and the service count as success: 0, 3010 (restart
// required) and 1641 (restart started).
bool IsInstallerSuccess(DWORD code);
