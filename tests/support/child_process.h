#pragma once
// A real second process: its standard input and output are pipes, the output
// read on a thread of its own.

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "base/unique_any.h"

namespace Testing {

class ChildProcess {
public:
    // environment: extra "NAME=value" entries, separated by '\n'.
    explicit ChildProcess(const std::wstring& commandLine, const std::wstring& environment = L"");
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return process.IsValid(); }
    void WriteInput(const std::string& bytes);
    void CloseInput();
    // True when the output holds text before the timeout.
    bool WaitForOutput(const std::string& text, DWORD timeoutMs);
    std::string Output();
    bool IsRunning() const;
    // Exit code, or STILL_ACTIVE when the process did not end in time.
    DWORD Wait(DWORD timeoutMs);

private:
    void ReadLoop();

    Base::UniqueHandle process;
    Base::UniqueHandle inputWrite;
    Base::UniqueHandle outputRead;
    std::thread reader;
    std::mutex mutex;
    std::condition_variable changed;
    std::string output;
    bool outputClosed = false;
};

// Runs a command to its end and returns its exit code and output.
struct ProcessResult {
    DWORD exitCode;
    std::string output;
};
ProcessResult RunToEnd(const std::wstring& commandLine, DWORD timeoutMs = 60000,
                       const std::wstring& environment = L"");

// Folder of the running test executable, and paths derived from it.
std::wstring TestBinaryFolder();
std::wstring ServiceExecutable();
// The source tree as a Windows path.
std::wstring SourcePath(const std::wstring& relative);

}  // namespace Testing
