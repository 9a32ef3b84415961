#pragma once
// Where the product's own client module, kxclient.dll, is installed, and the
// rule that decides whether a copy of it in a remote-desktop client's folder
// must be refreshed. The module is registered as a COM in-process server in
// both registry views: the 32-bit view names the 32-bit build, the 64-bit view
// the 64-bit build. Copies made for Amazon WorkSpaces are recorded in a
// machine-wide cleanup list so the product's uninstaller can remove them.
//
// None of these throws but the copy itself: failures are logged and answered
// with the safe result (empty path, "do not replace", list unchanged).

#include <cstdint>
#include <string>

// Path of the registered module of the given bitness (32 or 64), or empty.
// With mustExist the path is only returned when the file is there.
std::wstring FindClientModule(uint32_t bitness, bool mustExist);

// True when source must be copied over destination: the destination is
// missing (or a folder), differs in size, or is older. Contents are never
// compared; a destination that cannot be examined is never replaced.
bool ShouldReplace(const std::wstring& source, const std::wstring& destination);

// Copies source over destination, which may exist; a failure is logged with
// its Win32 code and thrown as Base::ExceptionWin32.
void CopyModuleFile(const std::wstring& source, const std::wstring& destination);

// Adds the path of a copy just made to the cleanup list, once.
void UpdateCleanupList(const std::wstring& destination);

// Last-write time (100 ns ticks since 1970 UTC) as "YYYY-MM-DDTHH:MM:SSZ".
std::wstring FormatUtcSeconds(int64_t ticksSince1970);

namespace ClientModule {
constexpr wchar_t kRegistrationKey[] =
    L"Software\\Classes\\CLSID\\{D7FC6CC5-7711-40F0-9E95-F30D319E9916}\\InProcServer32";
constexpr wchar_t kCleanupKey[] = L"SYSTEM\\CurrentControlSet\\Control\\kxclient\\Cleanup";
constexpr wchar_t kCleanupValue[] = L"AmazonWorkSpaceClients";
constexpr wchar_t kFileName[] = L"kxclient.dll";
}  // namespace ClientModule
