#pragma once
// The setup program's entry in the machine's list of installed programs
// (the native Uninstall key). Its "BundleUpgradeCode" is what the service
// looks for when it removes the client before a downgrade, and its
// "UninstallString" runs the kept copy of the setup program. One entry under
// a fixed name: each version's setup replaces the one before.

#include <windows.h>

#include <string>

// 0 or the system error.
DWORD WriteBundleEntry(const std::wstring& version, const std::wstring& keptCopy);
void RemoveBundleEntry();
