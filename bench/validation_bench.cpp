// SHA-256 of a 256 MiB file: Sha256OfFile (the Crypto++ pipeline over the
// file, under Wine) against the host's sha256sum on the same file, each the
// median of three runs after one warm-up, and their ratio.

#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "autoupdate/download_validation.h"
#include "bench_harness.h"
#include "support/host_command.h"

namespace {

constexpr size_t kFileBytes = 256u << 20;

// Seconds the host's sha256sum takes, timed by the host.
double HostSha256Seconds(const std::wstring& file) {
    const Testing::HostResult timed = Testing::RunHostCommand(
        "s=$(date +%s%N); sha256sum " + Testing::ShellQuote(Testing::UnixPath(file)) +
        " >/dev/null; e=$(date +%s%N); echo $((e - s))");
    return timed.exitCode == 0 ? std::atof(timed.output.c_str()) / 1e9 : 0;
}

}  // namespace

KX_MEASUREMENT(Sha256OfFile) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring file = std::wstring(temp) + L"kxbench-sha256.bin";
    {
        std::vector<char> block(1 << 20);
        uint32_t state = 2463534242u;
        std::ofstream out(file.c_str(), std::ios::binary);
        for (size_t written = 0; written < kFileBytes; written += block.size()) {
            for (char& byte : block) {
                state ^= state << 13, state ^= state >> 17, state ^= state << 5;
                byte = static_cast<char>(state);
            }
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }
    std::vector<double> own, host;
    for (int run = 0; run < 4; ++run) {
        std::wstring digest;
        const double start = Bench::Now();
        Sha256OfFile(file, L"", digest);
        const double ownSeconds = Bench::Now() - start;
        const double hostSeconds = HostSha256Seconds(file);
        if (run == 0) continue;  // warm-up
        own.push_back(ownSeconds);
        host.push_back(hostSeconds);
    }
    const double mib = static_cast<double>(kFileBytes) / 1048576.0;
    Bench::Report("Sha256OfFile/256MiB/Sha256OfFile", mib / Bench::Median(own), "MiB/s");
    Bench::Report("Sha256OfFile/256MiB/sha256sum", Bench::Median(host) > 0 ? mib / Bench::Median(host) : 0, "MiB/s");
    Bench::Report("Sha256OfFile/256MiB/RatioToSha256sum", Bench::Median(host) > 0 ? Bench::Median(host) / Bench::Median(own) : 0, "x");
    DeleteFileW(file.c_str());
}
