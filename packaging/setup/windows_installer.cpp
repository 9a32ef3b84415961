#include "windows_installer.h"

#include <msi.h>

#include "base/unique_any.h"

DWORD RunMsiexec(const std::wstring& arguments) {
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return ERROR_PATH_NOT_FOUND;
    const std::wstring program = std::wstring(system) + L"\\msiexec.exe";
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

bool IsProductInstalled(const std::wstring& productCode) {
    return MsiQueryProductStateW(productCode.c_str()) == INSTALLSTATE_DEFAULT;
}

bool IsInstallerSuccess(DWORD code) {
    return code == ERROR_SUCCESS || code == ERROR_SUCCESS_REBOOT_REQUIRED || code == ERROR_SUCCESS_REBOOT_INITIATED;
}
