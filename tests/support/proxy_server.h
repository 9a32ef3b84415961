#pragma once
// tinyproxy on a loopback port chosen at run time, with its own configuration
// and log in a scratch folder: the named proxy of a download, and the proxy a
// PAC file names. It forwards plain requests (adding a Via header that the
// server's log shows) and tunnels HTTPS with CONNECT to the ports it is told.
//
// Under Wine a request through a named proxy must name its host "localhost":
// with 127.0.0.1 WinHTTP sends the proxy a relative path, which it refuses.

#include <cstdint>
#include <string>
#include <vector>

#include "support/host_command.h"
#include "support/scratch.h"

namespace Testing {

class ProxyServer {
public:
    // tunnelPorts: the ports CONNECT may reach.
    explicit ProxyServer(const std::vector<uint16_t>& tunnelPorts = {});
    ProxyServer(const ProxyServer&) = delete;
    ProxyServer& operator=(const ProxyServer&) = delete;

    bool Started() const { return port != 0; }
    uint16_t Port() const { return port; }
    // "127.0.0.1:PORT", a WinHTTP proxy list of one.
    std::wstring Address() const { return L"127.0.0.1:" + std::to_wstring(port); }
    // The request lines tinyproxy logged, such as "CONNECT localhost:443 HTTP/1.1".
    std::vector<std::string> RequestLines() const;

private:
    bool WaitForListening() const;

    ScratchFolder folder;
    HostDaemon daemon;
    uint16_t port = 0;
};

}  // namespace Testing
