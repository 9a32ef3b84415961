#include "support/host_command.h"

#include <fstream>
#include <sstream>

#include "support/scratch.h"

namespace Testing {
namespace {

// One argument in the quoting that Wine undoes when it builds the Unix argv.
std::wstring QuoteArgument(const std::wstring& argument) {
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

std::wstring Widen(const std::string& text) {
    std::wstring wide(text.size() + 1, L'\0');
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &wide[0], static_cast<int>(wide.size()));
    wide.resize(length > 0 ? static_cast<size_t>(length) - 1 : 0);
    return wide;
}

bool StartBash(const std::string& script) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
    PROCESS_INFORMATION info = {};
    std::wstring line = L"Z:\\bin\\bash -c " + QuoteArgument(Widen(script));
    const bool started = CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                                        &startup, &info) != FALSE;
    // For a Unix program Wine returns no process handle and a thread "handle"
    // that is not one: closing it would close some other handle of this
    // process. Neither is touched.
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    return started;
}

// Closes every descriptor above 2 that bash inherited from the Wine process,
// so that no server keeps a test runner's pipe or Wine's files open.
const char kCloseInherited[] =
    "for fd in /proc/$$/fd/*; do fd=${fd##*/}; [ \"$fd\" -gt 2 ] && eval \"exec $fd>&-\"; done 2>/dev/null; ";

// Ends the server once the test process is gone; ends itself with the server.
const char kWatchdog[] =
    "alive() { local s; s=$(cat /proc/$1/stat 2>/dev/null) || return 1; s=${s##*) }; [ \"${s%% *}\" != Z ]; }; "
    "while alive $0 && alive $1; do sleep 1; done; alive $1 && kill -TERM $1";

}  // namespace

std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string UnixPath(const std::wstring& windowsPath) {
    using GetUnixName = char*(CDECL*)(const wchar_t*);
    static const auto getUnixName = reinterpret_cast<GetUnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!getUnixName) return std::string();
    char* name = getUnixName(windowsPath.c_str());
    if (!name) return std::string();
    std::string path(name);
    HeapFree(GetProcessHeap(), 0, name);
    return path;
}

std::string ReadWholeFile(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

HostResult RunHostCommand(const std::string& command, DWORD timeoutMs) {
    const std::wstring output = UniqueTempPath(L"kxhost-out-");
    const std::wstring status = output + L".status";
    const std::string unixOutput = UnixPath(output);
    const std::string unixStatus = UnixPath(status);
    const std::string script = std::string(kCloseInherited) + "( " + command + " ) </dev/null >" +
                               ShellQuote(unixOutput) + " 2>&1; echo $? >" + ShellQuote(unixStatus + ".tmp") + "; mv " +
                               ShellQuote(unixStatus + ".tmp") + " " + ShellQuote(unixStatus);
    HostResult result{-1, std::string()};
    if (!StartBash(script)) return result;
    // The status file appears as the shell's last act.
    for (DWORD waited = 0; waited < timeoutMs; waited += 10) {
        if (GetFileAttributesW(status.c_str()) != INVALID_FILE_ATTRIBUTES) {
            result.exitCode = std::atoi(ReadWholeFile(status).c_str());
            break;
        }
        Sleep(10);
    }
    result.output = ReadWholeFile(output);
    DeleteFileW(output.c_str());
    DeleteFileW(status.c_str());
    return result;
}

unsigned HostPidOfThisProcess() {
    // Wine opens /proc/self in this very process.
    return static_cast<unsigned>(std::strtoul(ReadWholeFile(L"Z:\\proc\\self\\stat").c_str(), nullptr, 10));
}

bool HostProcessAlive(unsigned pid) {
    const std::string stat = ReadWholeFile(L"Z:\\proc\\" + std::to_wstring(pid) + L"\\stat");
    const size_t nameEnd = stat.rfind(") ");
    return nameEnd != std::string::npos && stat.compare(nameEnd + 2, 1, "Z") != 0;
}

bool HostDaemon::Start(const std::string& command, const std::wstring& pidFile, DWORD timeoutMs) {
    Stop();
    const HostResult started = RunHostCommand(command, timeoutMs);
    lastOutput = started.output;
    if (started.exitCode != 0) return false;
    for (DWORD waited = 0; waited < timeoutMs; waited += 10) {
        const unsigned written = static_cast<unsigned>(std::strtoul(ReadWholeFile(pidFile).c_str(), nullptr, 10));
        if (written != 0 && HostProcessAlive(written)) {
            pid = written;
            break;
        }
        Sleep(10);
    }
    if (pid == 0) return false;
    RunHostCommand("setsid bash -c " + ShellQuote(kWatchdog) + " " + std::to_string(HostPidOfThisProcess()) + " " +
                   std::to_string(pid) + " </dev/null >/dev/null 2>&1 &");
    return true;
}

void HostDaemon::Stop() {
    if (pid == 0) return;
    RunHostCommand("kill -TERM " + std::to_string(pid));
    for (DWORD waited = 0; waited < 10000 && HostProcessAlive(pid); waited += 10) Sleep(10);
    if (HostProcessAlive(pid)) RunHostCommand("kill -KILL " + std::to_string(pid));
    pid = 0;
}

}  // namespace Testing
