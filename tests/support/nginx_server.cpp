#include "support/nginx_server.h"

#include <sstream>

#include "support/test_certificates.h"
#include "support/wait_until.h"

namespace Testing {

NginxServer::NginxServer(const TestCertificates* certificates) {
    CreateDirectoryW(DocumentRoot().c_str(), nullptr);
    CreateDirectoryW(folder.File(L"temp").c_str(), nullptr);
    // A port can be taken between choosing and binding it: choose again.
    for (int attempt = 0; attempt < 5 && !Started(); ++attempt) {
        StartOn(FreeLoopbackPort(), certificates ? FreeLoopbackPort() : 0, certificates);
    }
}

bool NginxServer::StartOn(uint16_t http, uint16_t https, const TestCertificates* certificates) {
    const std::string dir = UnixPath(folder.Path());
    std::ostringstream config;
    config << "pid " << dir << "/nginx.pid;\n"
           << "error_log " << dir << "/error.log;\n"
           << "worker_processes 1;\n"
           << "events { worker_connections 64; }\n"
           << "http {\n";
    for (const char* kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
        config << "  " << kind << "_temp_path " << dir << "/temp;\n";
    }
    config << "  log_format kx '$request_uri $status \"$http_range\" \"$http_via\"';\n"
           << "  access_log " << dir << "/access.log kx;\n"
           << "  default_type application/octet-stream;\n"
           << "  types { application/x-ns-proxy-autoconfig pac; }\n"
           << "  server { listen 127.0.0.1:" << http << "; root " << dir << "/www; }\n";
    if (https != 0) {
        config << "  server { listen 127.0.0.1:" << https << " ssl; root " << dir << "/www;\n"
               << "    ssl_certificate " << certificates->ServerCertificate() << ";\n"
               << "    ssl_certificate_key " << certificates->ServerKey() << "; }\n";
    }
    config << "}\n";
    folder.WriteFile(L"nginx.conf", config.str());
    const std::string command = "/usr/sbin/nginx -c " + ShellQuote(dir + "/nginx.conf") + " -p " + ShellQuote(dir);
    if (!daemon.Start(command, folder.File(L"nginx.pid"))) return false;
    httpPort = http;
    httpsPort = https;
    return true;
}

std::wstring NginxServer::Publish(const std::wstring& name, const std::string& bytes) const {
    return folder.WriteFile(L"www\\" + name, bytes);
}

std::wstring NginxServer::Url(const std::wstring& name, const std::wstring& host) const {
    return L"http://" + host + L":" + std::to_wstring(httpPort) + L"/" + name;
}

std::wstring NginxServer::SecureUrl(const std::wstring& name, const std::wstring& host) const {
    return L"https://" + host + L":" + std::to_wstring(httpsPort) + L"/" + name;
}

std::vector<NginxServer::Request> NginxServer::Requests() const {
    std::vector<Request> requests;
    std::istringstream lines(ReadWholeFile(folder.File(L"access.log")));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        Request request{};
        fields >> request.uri >> request.status >> std::ws;
        std::getline(fields, request.range, '"');  // skips the opening quote
        std::getline(fields, request.range, '"');
        std::getline(fields, request.via, '"');
        std::getline(fields, request.via, '"');
        requests.push_back(request);
    }
    return requests;
}

std::vector<NginxServer::Request> NginxServer::WaitForRequests(size_t count, DWORD timeoutMs) const {
    WaitUntil([&] { return Requests().size() >= count; }, timeoutMs);
    return Requests();
}

}  // namespace Testing
