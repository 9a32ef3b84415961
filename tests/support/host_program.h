#pragma once
// Host paths and host programs as a Windows program under Wine sees them.
// Wine starts a host program named by its absolute host path, but the
// process it reports cannot be waited for: callers wait for the program's
// effect instead. Header only, so the benchmarks use it too.

#include <windows.h>

#include <string>

namespace Testing {

// The host path of a Windows path; empty outside Wine.
inline std::string HostPath(const std::wstring& path) {
    using ToUnix = char*(CDECL*)(const wchar_t*);
    const auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* unixPath = toUnix ? toUnix(path.c_str()) : nullptr;
    if (unixPath == nullptr) return "";
    const std::string result = unixPath;
    HeapFree(GetProcessHeap(), 0, unixPath);
    return result;
}

// commandLine: a host program's absolute path and its arguments, in the
// Windows command-line form Wine splits into the host's argument list.
inline bool StartHostProgram(const std::string& commandLine) {
    std::wstring command(commandLine.begin(), commandLine.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        return false;
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return true;
}

}  // namespace Testing
