// Winsock must come before windows.h.
#include <winsock2.h>

#include "support/host_command.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "base/unique_any.h"
#include "support/scratch.h"
#include "support/wait_until.h"

namespace Testing {
namespace {

// Starts bash on a script file, with no input or output. For a Unix program
// Wine returns no process handle and a thread "handle" that is not one:
// closing it would close some other handle of this process.
bool StartBash(const std::wstring& scriptFile) {
    const std::string path = UnixPath(scriptFile);
    std::wstring wide(path.size(), L'\0');
    const int length = static_cast<int>(path.size());
    wide.resize(MultiByteToWideChar(CP_UTF8, 0, path.data(), length, &wide[0], length));
    std::wstring line = L"Z:\\bin\\bash \"" + wide + L"\"";
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    const Base::UniqueFileHandle nul(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 &inherit, OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nul.Get();
    PROCESS_INFORMATION info{};
    return !path.empty() && CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                           nullptr, &startup, &info) != FALSE;
}

// Closes every descriptor above 2 that bash inherited from the Wine process,
// so that no server keeps a test runner's pipe or Wine's files open.
const char kCloseInherited[] =
    "for fd in /proc/$$/fd/*; do fd=${fd##*/}; [ \"$fd\" -gt 2 ] && eval \"exec $fd>&-\"; done 2>/dev/null; ";

// Ends the server ($1) once the test process ($0) is gone; ends itself with the server.
const char kWatchdog[] =
    "alive() { local s; s=$(cat /proc/$1/stat 2>/dev/null) || return 1; s=${s##*) }; [ \"${s%% *}\" != Z ]; }; "
    "while alive $0 && alive $1; do sleep 1; done; alive $1 && kill -TERM $1";

unsigned PidIn(const std::wstring& file) {
    return static_cast<unsigned>(std::strtoul(ReadWholeFile(file).c_str(), nullptr, 10));
}

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
    char* name = getUnixName ? getUnixName(windowsPath.c_str()) : nullptr;
    const std::string path = name ? name : "";
    HeapFree(GetProcessHeap(), 0, name);
    return path;
}

std::string ReadWholeFile(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

HostResult RunHostCommand(const std::string& command, DWORD timeoutMs) {
    const std::wstring output = UniqueTempPath(L"kxhost-out-");
    const std::wstring status = output + L".status";
    const std::wstring script = output + L".sh";
    const std::string unixStatus = ShellQuote(UnixPath(status));
    // The status file appears, whole, as the shell's last act.
    std::ofstream(script.c_str(), std::ios::binary)
        << kCloseInherited << "( " << command << " ) </dev/null >" << ShellQuote(UnixPath(output)) << " 2>&1; echo $? >"
        << unixStatus << ".tmp; mv " << unixStatus << ".tmp " << unixStatus << "\n";
    HostResult result{-1, std::string()};
    if (StartBash(script) && WaitUntil([&] { return GetFileAttributesW(status.c_str()) != INVALID_FILE_ATTRIBUTES; },
                                       timeoutMs)) {
        result.exitCode = std::atoi(ReadWholeFile(status).c_str());
    }
    result.output = ReadWholeFile(output);
    for (const std::wstring& file : {output, status, script}) DeleteFileW(file.c_str());
    return result;
}

std::wstring HostSha256(const std::wstring& path) {
    const HostResult result = RunHostCommand("d=$(sha256sum " + ShellQuote(UnixPath(path)) + ") && echo \"${d^^}\"");
    const size_t length = result.exitCode == 0 ? std::min<size_t>(result.output.size(), 64) : 0;
    return std::wstring(result.output.begin(), result.output.begin() + length);
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
    if (started.exitCode != 0 ||
        !WaitUntil([&] { return PidIn(pidFile) != 0 && HostProcessAlive(PidIn(pidFile)); }, timeoutMs)) {
        return false;
    }
    pid = PidIn(pidFile);
    // Wine opens /proc/self in this very process: this test's own host pid.
    RunHostCommand("setsid bash -c " + ShellQuote(kWatchdog) + " " + std::to_string(PidIn(L"Z:\\proc\\self\\stat")) +
                   " " + std::to_string(pid) + " </dev/null >/dev/null 2>&1 &");
    return true;
}

void HostDaemon::Stop() {
    if (pid == 0) return;
    RunHostCommand("kill -TERM " + std::to_string(pid));
    if (!WaitUntil([&] { return !HostProcessAlive(pid); }, 10000)) RunHostCommand("kill -KILL " + std::to_string(pid));
    pid = 0;
}

uint16_t FreeLoopbackPort() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 0;
    const SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    const bool bound = probe != INVALID_SOCKET && bind(probe, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                       getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (probe != INVALID_SOCKET) closesocket(probe);
    WSACleanup();
    return bound ? ntohs(address.sin_port) : 0;
}

}  // namespace Testing
