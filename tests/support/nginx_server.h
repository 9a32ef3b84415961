#pragma once
// nginx on loopback ports chosen at run time, with its own configuration,
// prefix and document root in a scratch folder: plain HTTP, and HTTPS too when
// given test certificates. It serves files as they are, honours Range with
// 206, and logs each request with its Range and Via headers, which is how a
// test checks what really reached the server.

#include <cstdint>
#include <string>
#include <vector>

#include "support/host_command.h"
#include "support/scratch.h"

namespace Testing {

class TestCertificates;

class NginxServer {
public:
    explicit NginxServer(const TestCertificates* certificates = nullptr);
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    bool Started() const { return httpPort != 0; }
    const std::string& StartOutput() const { return daemon.LastOutput(); }

    // Writes a file into the document root; its Windows path.
    std::wstring Publish(const std::wstring& name, const std::string& bytes) const;
    std::wstring DocumentRoot() const { return folder.File(L"www"); }

    // http://HOST:PORT/NAME, or https with the HTTPS port.
    std::wstring Url(const std::wstring& name, const std::wstring& host = L"127.0.0.1") const;
    std::wstring SecureUrl(const std::wstring& name, const std::wstring& host = L"localhost") const;
    uint16_t HttpPort() const { return httpPort; }
    uint16_t HttpsPort() const { return httpsPort; }

    // One access log line.
    struct Request {
        std::string uri;
        int status;
        std::string range;  // "-" without a Range header
        std::string via;    // "-" unless a proxy forwarded it
    };
    std::vector<Request> Requests() const;
    // Waits until at least count requests are logged (nginx logs a request
    // when it ends, which may be a moment after the client has its bytes).
    std::vector<Request> WaitForRequests(size_t count, DWORD timeoutMs = 30000) const;

private:
    bool StartOn(uint16_t http, uint16_t https, const TestCertificates* certificates);

    ScratchFolder folder;
    HostDaemon daemon;
    uint16_t httpPort = 0;
    uint16_t httpsPort = 0;
};

}  // namespace Testing
