#pragma once
// The update fixtures built into build\fixtures\installers (see
// tools/fixtures/installers) and the record the test installer keeps.

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/unique_any.h"
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

// The record is UTF-8, a line per start.
inline std::vector<InstallerRun> ReadInstallerRecord(const std::wstring& path) {
    std::vector<InstallerRun> runs;
    std::ifstream file(path.c_str());
    for (std::string line; std::getline(file, line);) {
        std::wstring wide(line.size(), L'\0');
        const int length = static_cast<int>(line.size());
        wide.resize(MultiByteToWideChar(CP_UTF8, 0, line.data(), length, &wide[0], length));
        std::wistringstream fields(wide);
        InstallerRun run{};
        fields >> run.pid;
        std::getline(fields.ignore(1), run.folder, L'\t');
        std::getline(fields, run.commandLine);
        runs.push_back(run);
    }
    return runs;
}

// The programs in a folder (a path ending with a backslash).
inline std::vector<std::wstring> ProgramsInCache(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    const Base::UniqueFindHandle find(FindFirstFileW((folder + L"*.exe").c_str(), &entry));
    for (bool more = find.IsValid(); more; more = FindNextFileW(find.Get(), &entry)) names.push_back(entry.cFileName);
    return names;
}

}  // namespace Testing
