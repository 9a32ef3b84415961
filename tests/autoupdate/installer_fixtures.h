#pragma once
// The update fixtures built into build\fixtures\installers (see
// tools/fixtures/installers) and the record the test installer keeps.

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace Testing {

inline std::wstring InstallerFixture(const std::wstring& name) {
    const std::wstring tests = TestBinaryFolder();
    return tests.substr(0, tests.find_last_of(L'\\')) + L"\\fixtures\\installers\\" + name;
}

// One start of the test installer: process id, working folder, command line.
struct InstallerRun {
    DWORD pid;
    std::wstring folder;
    std::wstring commandLine;
};

inline std::vector<InstallerRun> ReadInstallerRecord(const std::wstring& path) {
    std::vector<InstallerRun> runs;
    std::ifstream file(path.c_str());
    for (std::string line; std::getline(file, line);) {
        std::wstring wide(line.size(), L'\0');
        wide.resize(MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), &wide[0],
                                        static_cast<int>(wide.size())));
        std::wistringstream fields(wide);
        InstallerRun run{};
        fields >> run.pid;
        fields.ignore(1);
        std::getline(fields, run.folder, L'\t');
        std::getline(fields, run.commandLine);
        runs.push_back(run);
    }
    return runs;
}

// Ends installers that were left running past the wait.
inline void TerminateRecordedInstallers(const std::wstring& recordPath) {
    for (const InstallerRun& run : ReadInstallerRecord(recordPath)) {
        if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, run.pid)) {
            TerminateProcess(process, 0);
            WaitForSingleObject(process, 10000);
            CloseHandle(process);
        }
    }
}

}  // namespace Testing
