#pragma once
// The Windows Installer package that the build put into this program.

#include <windows.h>

#include <string>

// Writes it to path, replacing a file of that name; 0 or the system error.
DWORD WriteEmbeddedPackage(const std::wstring& path);
