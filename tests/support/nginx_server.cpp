#include "support/nginx_server.h"

#include <sstream>

#include "support/child_process.h"
#include "support/test_certificates.h"
#include "support/wait_until.h"

namespace Testing {

std::string PayloadBytes(size_t count) {
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

std::vector<std::string> LoopbackServer::LogLines(const wchar_t* file) const {
    std::vector<std::string> lines;
    std::istringstream log(ReadWholeFile(folder.File(file)));
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    return lines;
}

NginxServer::NginxServer(const TestCertificates* certificates) {
    const std::string dir = UnixPath(folder.Path());
    CreateDirectoryW(DocumentRoot().c_str(), nullptr);
    CreateDirectoryW(folder.File(L"temp").c_str(), nullptr);
    // A port can be taken between choosing and binding it: choose again.
    for (int attempt = 0; attempt < 5 && !Started(); ++attempt) {
        const uint16_t http = FreeLoopbackPort(), https = certificates ? FreeLoopbackPort() : 0;
        // Relative paths are the prefix's, this scratch folder.
        std::ostringstream config;
        config << "pid nginx.pid;\nerror_log error.log;\nworker_processes 1;\nevents { worker_connections 64; }\n"
               << "http {\n  root www;\n  default_type application/octet-stream;\n"
               << "  types { application/x-ns-proxy-autoconfig pac; }\n"
               << "  log_format kx '$request_uri $status $http_range $http_via';\n  access_log access.log kx;\n"
               << "  server { listen 127.0.0.1:" << http << "; }\n";
        for (const char* kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
            config << "  " << kind << "_temp_path temp;\n";
        }
        if (https != 0) {
            config << "  server { listen 127.0.0.1:" << https << " ssl; ssl_certificate "
                   << certificates->ServerFile("pem") << "; ssl_certificate_key " << certificates->ServerFile("key")
                   << "; }\n";
        }
        folder.WriteFile(L"nginx.conf", config.str() + "}\n");
        if (daemon.Start("/usr/sbin/nginx -c " + ShellQuote(dir + "/nginx.conf") + " -p " + ShellQuote(dir),
                         folder.File(L"nginx.pid"))) {
            port = http;
            httpsPort = https;
        }
    }
}

std::wstring NginxServer::Publish(const std::wstring& name, const std::string& bytes) const {
    return folder.WriteFile(L"www\\" + name, bytes);
}

std::wstring NginxServer::Url(const std::wstring& name, const std::wstring& host) const {
    return L"http://" + host + L":" + std::to_wstring(port) + L"/" + name;
}

std::wstring NginxServer::SecureUrl(const std::wstring& name) const {
    return L"https://localhost:" + std::to_wstring(httpsPort) + L"/" + name;
}

std::vector<std::string> NginxServer::Requests(size_t atLeast) const {
    WaitUntil([&] { return LogLines(L"access.log").size() >= atLeast; });
    return LogLines(L"access.log");
}

ProxyServer::ProxyServer(const std::vector<uint16_t>& tunnelPorts) {
    const std::string dir = UnixPath(folder.Path());
    // tinyproxy puts itself in the background before it binds its port, so its
    // start succeeds even on a taken port: its log says when it listens.
    const auto listening = [&] {
        return ReadWholeFile(folder.File(L"tinyproxy.log")).find("Accepting connections") != std::string::npos;
    };
    for (int attempt = 0; attempt < 5 && !Started(); ++attempt) {
        const uint16_t chosen = FreeLoopbackPort();
        std::ostringstream config;
        config << "Port " << chosen << "\nListen 127.0.0.1\nTimeout 60\nMaxClients 20\nAllow 127.0.0.1\n"
               << "LogLevel Info\nLogFile \"" << dir << "/tinyproxy.log\"\nPidFile \"" << dir << "/tinyproxy.pid\"\n";
        for (uint16_t tunnel : tunnelPorts) config << "ConnectPort " << tunnel << "\n";
        folder.WriteFile(L"tinyproxy.conf", config.str());
        for (const wchar_t* file : {L"tinyproxy.log", L"tinyproxy.pid"}) DeleteFileW(folder.File(file).c_str());
        const std::string command = "/usr/bin/tinyproxy -c " + ShellQuote(dir + "/tinyproxy.conf");
        if (daemon.Start(command, folder.File(L"tinyproxy.pid")) &&
            WaitUntil([&] { return listening() || !HostProcessAlive(daemon.Pid()); }, 10000) && listening()) {
            port = chosen;
        } else {
            daemon.Stop();
        }
    }
}

std::vector<std::string> ProxyServer::RequestLines() const {
    std::vector<std::string> lines;
    for (const std::string& line : LogLines(L"tinyproxy.log")) {
        const size_t at = line.find("Request (file descriptor ");
        if (at != std::string::npos) lines.push_back(line.substr(line.find("): ", at) + 3));
    }
    return lines;
}

FaultServer::FaultServer() {
    const auto argument = [&](const wchar_t* file) { return ShellQuote(UnixPath(folder.File(file))); };
    if (daemon.Start("python3 " + ShellQuote(UnixPath(SourcePath(L"tools/fixtures/programs/fault_server.py"))) +
                         " --pid-file " + argument(L"pid") + " --port-file " + argument(L"port") + " --record " +
                         argument(L"record"),
                     folder.File(L"pid"))) {
        port = static_cast<uint16_t>(std::stoul("0" + ReadWholeFile(folder.File(L"port"))));
    }
}

}  // namespace Testing
