#pragma once
// Test resources that clean up after themselves: a temporary folder, and the
// process's standard output redirected into a file for a while.

#include <cstdint>
#include <string>

#include "support/remove_tree.h"

namespace Testing {

// A path in the temporary folder that no other test process or call uses.
std::wstring UniqueTempPath(const wchar_t* prefix);
// Sets the last-write time of a file, in 100 ns ticks since 1601.
bool SetWriteTime(const std::wstring& path, uint64_t ticks);

class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::wstring& Path() const { return path; }
    std::wstring File(const std::wstring& name) const { return path + L"\\" + name; }
    // Creates a file holding the given bytes and returns its path.
    std::wstring WriteFile(const std::wstring& name, const std::string& bytes) const;

private:
    std::wstring path;
};

class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Everything written to standard output since construction.
    std::string Text();

private:
    int savedFd;
    std::wstring file;
};

}  // namespace Testing
