#include "support/fault_server.h"

#include <sstream>

#include "support/child_process.h"

namespace Testing {

std::string PayloadBytes(size_t count) {
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

FaultServer::FaultServer() {
    const std::wstring portFile = folder.File(L"port");
    const std::wstring pidFile = folder.File(L"pid");
    const std::string command = "python3 " + ShellQuote(UnixPath(SourcePath(L"tools/fixtures/programs/fault_server.py"))) +
                                " --pid-file " + ShellQuote(UnixPath(pidFile)) + " --port-file " +
                                ShellQuote(UnixPath(portFile)) + " --record " +
                                ShellQuote(UnixPath(folder.File(L"record")));
    if (daemon.Start(command, pidFile)) port = static_cast<unsigned>(std::stoul("0" + ReadWholeFile(portFile)));
}

std::wstring FaultServer::Url(const std::wstring& path) const {
    return L"http://127.0.0.1:" + std::to_wstring(port) + path;
}

std::vector<std::string> FaultServer::Ranges() const {
    std::vector<std::string> ranges;
    std::istringstream lines(ReadWholeFile(folder.File(L"record")));
    for (std::string line; std::getline(lines, line);) ranges.push_back(line);
    return ranges;
}

}  // namespace Testing
