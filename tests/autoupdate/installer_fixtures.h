#pragma once
// The update fixtures built into build\fixtures\installers (see
// tools/fixtures/installers) and the record the test installer keeps.

#include <windows.h>

#include <fstream>
#include <string>
#include <vector>

#include "base/text.h"
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
    std::string line;
    while (std::getline(file, line)) {
        const size_t tab1 = line.find('\t');
        const size_t tab2 = line.find('\t', tab1 + 1);
        if (tab2 == std::string::npos) continue;
        const auto wide = [&](size_t from, size_t to) {
            const std::string part = line.substr(from, to - from);
            std::wstring text(part.size(), L'\0');
            text.resize(MultiByteToWideChar(CP_UTF8, 0, part.data(), static_cast<int>(part.size()), &text[0],
                                            static_cast<int>(text.size())));
            return text;
        };
        runs.push_back({static_cast<DWORD>(std::stoul(line.substr(0, tab1))), wide(tab1 + 1, tab2),
                        wide(tab2 + 1, line.size())});
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
