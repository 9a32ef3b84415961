#include "support/proxy_server.h"

#include <sstream>

#include "support/wait_until.h"

namespace Testing {

ProxyServer::ProxyServer(const std::vector<uint16_t>& tunnelPorts) {
    const std::string dir = UnixPath(folder.Path());
    for (int attempt = 0; attempt < 5 && !Started(); ++attempt) {
        const uint16_t chosen = FreeLoopbackPort();
        std::ostringstream config;
        config << "Port " << chosen << "\nListen 127.0.0.1\nTimeout 60\nMaxClients 20\nAllow 127.0.0.1\n"
               << "LogLevel Info\nLogFile \"" << dir << "/tinyproxy.log\"\nPidFile \"" << dir << "/tinyproxy.pid\"\n";
        for (uint16_t tunnel : tunnelPorts) config << "ConnectPort " << tunnel << "\n";
        folder.WriteFile(L"tinyproxy.conf", config.str());
        DeleteFileW(folder.File(L"tinyproxy.log").c_str());
        DeleteFileW(folder.File(L"tinyproxy.pid").c_str());
        if (daemon.Start("/usr/bin/tinyproxy -c " + ShellQuote(dir + "/tinyproxy.conf"),
                         folder.File(L"tinyproxy.pid")) &&
            WaitForListening()) {
            port = chosen;
        } else {
            daemon.Stop();
        }
    }
}

// tinyproxy puts itself in the background before it binds its port, so its
// start succeeds even on a taken port: its log says when it listens.
bool ProxyServer::WaitForListening() const {
    const auto listening = [&] {
        return ReadWholeFile(folder.File(L"tinyproxy.log")).find("Accepting connections") != std::string::npos;
    };
    return WaitUntil([&] { return listening() || !HostProcessAlive(daemon.Pid()); }, 10000) && listening();
}

std::vector<std::string> ProxyServer::RequestLines() const {
    std::vector<std::string> lines;
    std::istringstream log(ReadWholeFile(folder.File(L"tinyproxy.log")));
    std::string line;
    const std::string marker = "Request (file descriptor ";
    while (std::getline(log, line)) {
        const size_t at = line.find(marker);
        if (at == std::string::npos) continue;
        const size_t text = line.find("): ", at);
        if (text != std::string::npos) lines.push_back(line.substr(text + 3));
    }
    return lines;
}

}  // namespace Testing
