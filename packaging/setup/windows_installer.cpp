#include "windows_installer.h"

#include <msi.h>

#include "base/unique_any.h"

namespace {

// A file of the system folder, never one found beside this program or
// through the search path.
std::wstring SystemFile(const wchar_t* name) {
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(system) + L"\\" + name;
}

}  // namespace

DWORD RunMsiexec(const std::wstring& arguments) {
    const std::wstring program = SystemFile(L"msiexec.exe");
    if (program.empty()) return ERROR_PATH_NOT_FOUND;
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        return GetLastError();
    }
    const Base::UniqueHandle process(info.hProcess);
    const Base::UniqueHandle thread(info.hThread);
    WaitForSingleObject(process.Get(), INFINITE);
    DWORD code = ERROR_INSTALL_FAILURE;
    GetExitCodeProcess(process.Get(), &code);
    return code;
}

// msi.dll is not a known DLL: imported, it would be looked for first in this
// program's folder, which may be a downloads folder while it runs elevated.
bool IsProductInstalled(const std::wstring& productCode) {
    const Base::UniqueModule msi(LoadLibraryW(SystemFile(L"msi.dll").c_str()));
    using QueryProductState = INSTALLSTATE(WINAPI*)(LPCWSTR);
    const auto query = msi ? reinterpret_cast<QueryProductState>(
                                 reinterpret_cast<void*>(GetProcAddress(msi.Get(), "MsiQueryProductStateW")))
                           : nullptr;
    return query != nullptr && query(productCode.c_str()) == INSTALLSTATE_DEFAULT;
}

bool IsInstallerSuccess(DWORD code) {
    return code == ERROR_SUCCESS || code == ERROR_SUCCESS_REBOOT_REQUIRED || code == ERROR_SUCCESS_REBOOT_INITIATED;
}
