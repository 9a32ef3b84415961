#pragma once
// A host program started without waiting for it, for the benchmarks: Wine
// starts a host program named by its absolute host path, but the process it
// reports cannot be waited for, so callers wait for the program's effect.

#include <windows.h>

#include <string>

#include "support/host_command.h"

namespace Testing {

inline std::string HostPath(const std::wstring& path) { return UnixPath(path); }

// commandLine: a host program's absolute path and its arguments, in the
// Windows command-line form Wine splits into the host's argument list.
inline bool StartHostProgram(const std::string& commandLine) {
    std::wstring command(commandLine.begin(), commandLine.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    // For a host program Wine returns no process handle and a thread "handle"
    // that is not one (see host_command.cpp): neither is closed.
    return CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info) != FALSE;
}

}  // namespace Testing
