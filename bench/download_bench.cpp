// A 256 MiB download from a local nginx, three ways in the same run: the
// project's FileDownloader, a bare WinHTTP read loop in the same Wine writing
// the same file, and native curl on the host. Figures only: MiB/s of each and
// the ratios to the bare loop (goal >= 0.9) and to curl. The machine is
// shared, so each round runs the three back to back and the ratios are the
// medians of the rounds' own ratios.

#include <windows.h>
#include <winhttp.h>

#include <memory>
#include <string>
#include <vector>

#include "autoupdate/download_client.h"
#include "base/exception.h"
#include "bench_harness.h"
#include "support/host_command.h"
#include "support/nginx_server.h"
#include "support/scratch.h"

namespace {

constexpr uint64_t kFileBytes = 256ull << 20;
constexpr int kRounds = 5;

double MibPerSecond(double seconds) { return seconds > 0 ? (kFileBytes / 1048576.0) / seconds : 0.0; }

double WithFileDownloader(const std::wstring& url, const std::wstring& path) {
    DeleteFileW(path.c_str());
    ProxySettings direct;
    direct.autoDetect = false;
    const double start = Bench::Now();
    try {
        FileDownloader(direct, path).Download(url);
    } catch (const AutoUpdateException& e) {
        Bench::Report(std::string("Download256MiB FileDownloader failed: ") + e.what(), 0, "");
    }
    return Bench::Now() - start;
}

// The same requests FileDownloader makes, without its bookkeeping: one
// session, one GET, reads of up to 512 KiB written straight to the file.
double WithBareWinHttp(uint16_t port, const std::wstring& path) {
    DeleteFileW(path.c_str());
    const double start = Bench::Now();
    HINTERNET session = WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, nullptr, nullptr, 0);
    HINTERNET connection = WinHttpConnect(session, L"127.0.0.1", port, 0);
    HINTERNET request = WinHttpOpenRequest(connection, L"GET", L"/big.bin", nullptr, nullptr, nullptr, 0);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    std::vector<uint8_t> buffer(0x80000);
    if (WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0) && WinHttpReceiveResponse(request, nullptr)) {
        DWORD read = 0;
        while (WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), &read) && read > 0) {
            DWORD written = 0;
            WriteFile(file, buffer.data(), read, &written, nullptr);
        }
    }
    CloseHandle(file);
    WinHttpCloseHandle(request);
    WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
    return Bench::Now() - start;
}

double WithCurl(uint16_t port, const std::wstring& path) {
    const Testing::HostResult result =
        Testing::RunHostCommand("curl -s -o " + Testing::ShellQuote(Testing::UnixPath(path)) +
                                " -w '%{time_total}' http://127.0.0.1:" + std::to_string(port) + "/big.bin");
    return result.exitCode == 0 ? std::atof(result.output.c_str()) : 0.0;
}

}  // namespace

KX_MEASUREMENT(Download256MiB) {
    Testing::NginxServer nginx;
    Testing::ScratchFolder folder;
    if (!nginx.Started()) {
        Bench::Report("Download256MiB nginx did not start", 0, "");
        return;
    }
    Testing::RunHostCommand("head -c " + std::to_string(kFileBytes) + " /dev/urandom >" +
                            Testing::ShellQuote(Testing::UnixPath(nginx.DocumentRoot() + L"\\big.bin")));
    const std::wstring url = nginx.Url(L"big.bin");
    const std::wstring path = folder.File(L"big.bin");
    std::vector<double> project, bare, curl, toBare, toCurl;
    for (int round = 0; round < kRounds; ++round) {
        project.push_back(WithFileDownloader(url, path));
        bare.push_back(WithBareWinHttp(nginx.Port(), path));
        curl.push_back(WithCurl(nginx.Port(), path));
        toBare.push_back(bare.back() / project.back());
        toCurl.push_back(curl.back() / project.back());
    }
    Bench::Report("Download256MiB FileDownloader", MibPerSecond(Bench::Median(project)), "MiB/s");
    Bench::Report("Download256MiB bare WinHTTP loop", MibPerSecond(Bench::Median(bare)), "MiB/s");
    Bench::Report("Download256MiB native curl", MibPerSecond(Bench::Median(curl)), "MiB/s");
    Bench::Report("Download256MiB FileDownloader/bare WinHTTP (goal >= 0.9)", Bench::Median(toBare), "x");
    Bench::Report("Download256MiB FileDownloader/curl", Bench::Median(toCurl), "x");
}
