#pragma once
// Linux programs run from a test that itself runs inside Wine.
//
// Wine starts a Unix executable named by a Z:\ path through CreateProcess but
// hands back no process handle. So a host command runs under bash, which
// writes the command's exit status to a file as its last act, and the test
// waits for that file. Servers put themselves in the background and write a
// pid file; HostDaemon stops them by that pid, and a small watchdog ends them
// if the test process dies first, so no server outlives its test. This
// machine's init does not reap orphans: a zombie counts as ended.

#include <windows.h>

#include <cstdint>
#include <string>

namespace Testing {

struct HostResult {
    int exitCode;  // -1 when the command did not end in time
    std::string output;  // both streams
};
HostResult RunHostCommand(const std::string& command, DWORD timeoutMs = 60000);

// The file's SHA-256 in upper-case hex from the host's sha256sum, outside the code under test.
std::wstring HostSha256(const std::wstring& path);

// The text between single quotes, safe for bash.
std::string ShellQuote(const std::string& text);
// The Unix path Wine maps a Windows path to.
std::string UnixPath(const std::wstring& windowsPath);
// True while the host process runs (not ended, not a zombie).
bool HostProcessAlive(unsigned pid);

// A server that a command starts in the background; it writes its pid to a
// file. The destructor stops it: TERM, then KILL if it lingers.
class HostDaemon {
public:
    HostDaemon() = default;
    ~HostDaemon() { Stop(); }
    HostDaemon(const HostDaemon&) = delete;
    HostDaemon& operator=(const HostDaemon&) = delete;

    // True once command succeeded and pidFile names a running process.
    bool Start(const std::string& command, const std::wstring& pidFile, DWORD timeoutMs = 30000);
    void Stop();
    unsigned Pid() const { return pid; }
    const std::string& LastOutput() const { return lastOutput; }

private:
    unsigned pid = 0;
    std::string lastOutput;
};

// A loopback TCP port that was free a moment ago.
uint16_t FreeLoopbackPort();

// Reads a whole file; empty when it cannot be read.
std::string ReadWholeFile(const std::wstring& path);

}  // namespace Testing
