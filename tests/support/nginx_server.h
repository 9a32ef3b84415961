#pragma once
// The servers a download meets, on loopback ports chosen at run time, each
// with its configuration and log in a scratch folder of its own: nginx, a
// good server; tinyproxy in front of it; the fault server, a broken one.
//
// Under Wine an https url, or one sent through a named proxy, must name its
// host "localhost": with 127.0.0.1 WinHTTP refuses the certificate (12157) or
// sends the proxy a relative path, which tinyproxy refuses.

#include <cstdint>
#include <string>
#include <vector>

#include "support/host_command.h"
#include "support/scratch.h"

namespace Testing {

class TestCertificates;

// The bytes i % 251 for i = 0, 1, ...: the body of every test download, so a
// result can be compared byte for byte.
std::string PayloadBytes(size_t count);

// Started once it listens on its port; stopped by its pid when it goes.
class LoopbackServer {
public:
    bool Started() const { return port != 0; }
    uint16_t Port() const { return port; }
    const std::string& StartOutput() const { return daemon.LastOutput(); }

protected:
    std::vector<std::string> LogLines(const wchar_t* file) const;

    ScratchFolder folder;
    HostDaemon daemon;
    uint16_t port = 0;
};

// Plain HTTP, and HTTPS too when given test certificates. nginx serves files
// as they are and honours Range with 206.
class NginxServer : public LoopbackServer {
public:
    explicit NginxServer(const TestCertificates* certificates = nullptr);

    // Writes a file into the document root; its Windows path.
    std::wstring Publish(const std::wstring& name, const std::string& bytes) const;
    std::wstring DocumentRoot() const { return folder.File(L"www"); }
    std::wstring Url(const std::wstring& name, const std::wstring& host = L"127.0.0.1") const;
    std::wstring SecureUrl(const std::wstring& name) const;
    uint16_t HttpsPort() const { return httpsPort; }

    // The access log, "URI STATUS RANGE VIA" a line ("-" for a missing header),
    // once it holds at least that many requests: nginx logs a request when it
    // ends, which may be a moment after the client has its bytes.
    std::vector<std::string> Requests(size_t atLeast = 0) const;

private:
    uint16_t httpsPort = 0;
};

// tinyproxy forwards plain requests (nginx's log shows its Via header) and
// tunnels HTTPS with CONNECT to the ports it is told.
class ProxyServer : public LoopbackServer {
public:
    explicit ProxyServer(const std::vector<uint16_t>& tunnelPorts);
    // Such as "CONNECT localhost:443 HTTP/1.1".
    std::vector<std::string> RequestLines() const;
};

// tools/fixtures/programs/fault_server.py: resets, cuts short, withholds the
// length, ignores Range, or never answers, as the path asks.
class FaultServer : public LoopbackServer {
public:
    FaultServer();
    std::wstring Url(const std::wstring& path) const { return L"http://127.0.0.1:" + std::to_wstring(port) + path; }
    // The Range header of each request in order of arrival (empty without one).
    std::vector<std::string> Ranges() const { return LogLines(L"record"); }
};

}  // namespace Testing
