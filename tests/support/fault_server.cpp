#include "support/fault_server.h"

#include <sstream>

#include "support/child_process.h"

namespace Testing {
namespace {

// The value of "name":"..." in one JSON line the script wrote.
std::string JsonMember(const std::string& line, const std::string& name) {
    const std::string key = "\"" + name + "\": \"";
    const size_t start = line.find(key);
    if (start == std::string::npos) return std::string();
    const size_t end = line.find('"', start + key.size());
    return line.substr(start + key.size(), end - start - key.size());
}

}  // namespace

std::string PayloadBytes(size_t count, size_t offset) {
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>((offset + i) % 251);
    return bytes;
}

FaultServer::FaultServer() {
    const std::string script = UnixPath(SourcePath(L"tests/fixtures/fault_server.py"));
    const std::wstring portFile = folder.File(L"port");
    const std::wstring pidFile = folder.File(L"pid");
    const std::string command = "python3 " + ShellQuote(script) + " --pid-file " + ShellQuote(UnixPath(pidFile)) +
                                " --port-file " + ShellQuote(UnixPath(portFile)) + " --record " +
                                ShellQuote(UnixPath(folder.File(L"record"))) + " --lifetime 300 --max-requests 100";
    if (daemon.Start(command, pidFile)) port = static_cast<unsigned>(std::stoul("0" + ReadWholeFile(portFile)));
}

std::wstring FaultServer::Url(const std::wstring& path) const {
    return L"http://127.0.0.1:" + std::to_wstring(port) + path;
}

std::vector<FaultServer::Request> FaultServer::Requests() const {
    std::vector<Request> requests;
    std::string line;
    std::istringstream lines(ReadWholeFile(folder.File(L"record")));
    while (std::getline(lines, line)) {
        requests.push_back({JsonMember(line, "method"), JsonMember(line, "path"), JsonMember(line, "range")});
    }
    return requests;
}

}  // namespace Testing
