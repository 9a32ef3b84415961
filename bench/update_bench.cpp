// The whole update of a 256 MiB signed installer through the worker: the
// signed service in worker mode (-autoupdate -v) gets a begin instruction over
// UpdateRpc, downloads the installer from a local HTTPS nginx, checks its hash
// and signature, runs it and cleans the cache. Figures: seconds from the begin
// call to status 2, and the phases between the worker's own trace lines, each
// timed as its console line arrives: download ("Beginning download" to
// "Completed download"), validation (to "Downloaded binary passed all
// certificate checks.") and install ("Beginning install" to "Completed
// install"). The median of three rounds, each in a fresh worker.

#include <windows.h>

#include <string>
#include <vector>

#include "../tests/autoupdate/installer_fixtures.h"
#include "autoupdate/download_validation.h"
#include "bench_harness.h"
#include "support/child_process.h"
#include "support/host_command.h"
#include "support/nginx_server.h"
#include "support/test_certificates.h"
#include "support/trusted_root.h"
#include "support/wait_until.h"
#include "tools/kxupdate/update_instruction.h"
#include "tools/kxupdate/update_rpc_client.h"

namespace {

constexpr int kRounds = 3;

struct Phases {
    double total, download, validation, install;
};

// One update in a fresh worker; false when a step did not happen.
bool UpdateOnce(const BeginOptions& begin, Phases& phases) {
    Testing::ChildProcess worker(L"\"" + Testing::InstallerFixture(L"kxclient_service_signed.exe") +
                                     L"\" -autoupdate -v",
                                 L"KX_WORKER_POLL_MS=1000\nKX_UPDATE_PAUSE_MS=2000");
    constexpr DWORD kLimitMs = 600000;
    const auto arrival = [&](const char* line) {
        return worker.WaitForOutput(std::string(" : ") + line + "\n", kLimitMs) ? Bench::Now() : 0.0;
    };
    if (arrival("Veltrastone Client Auto Update process listening for instructions...") == 0) return false;
    const UpdateRpcClient client(kWorkerRpcEndpoint);
    const double start = Bench::Now();
    if (client.Call(BeginInstruction(begin)).status != 0) return false;
    const double downloading = arrival("Beginning download");
    const double downloaded = arrival("Completed download");
    const double validated = arrival("Downloaded binary passed all certificate checks.");
    const double installing = arrival("Beginning install");
    const double installed = arrival("Completed install");
    const bool completed = Testing::WaitUntil(
        [&] {
            const auto reply = client.Call(QueryInstruction()).reply;
            const auto progress = reply ? ParseProgress(*reply) : std::nullopt;
            return progress && progress->status == Completed;
        },
        kLimitMs);
    phases = {Bench::Now() - start, downloaded - downloading, validated - downloaded, installed - installing};
    worker.Wait(60000);
    return completed && downloading > 0 && downloaded > 0 && validated > 0 && installing > 0 && installed > 0;
}

}  // namespace

KX_MEASUREMENT(UpdateThroughWorker) {
    const auto fail = [](const std::string& why) { Bench::Report("UpdateThroughWorker " + why, 0, ""); };
    Testing::TestCertificates certificates;
    Testing::TrustedRootCertificate authority(certificates.Authority());
    Testing::TrustedRootCertificate signer(Testing::InstallerFixture(L"certs\\company.pem"));
    Testing::NginxServer nginx(&certificates);
    if (!certificates.Made() || !authority.Added() || !signer.Added() || !nginx.Started()) {
        return fail("setup failed: " + certificates.Output() + nginx.StartOutput());
    }
    // The test installer with 256 MiB appended, signed as the company.
    const std::string certs = Testing::UnixPath(Testing::InstallerFixture(L"certs"));
    const std::wstring installer = nginx.DocumentRoot() + L"\\setup.exe";
    const std::string unsignedCopy = Testing::ShellQuote(Testing::UnixPath(nginx.DocumentRoot() + L"\\unsigned.exe"));
    const Testing::HostResult signing = Testing::RunHostCommand(
        "set -e; cp " + Testing::ShellQuote(Testing::UnixPath(Testing::InstallerFixture(L"test_installer.exe"))) + " " +
            unsignedCopy + "; head -c 268435456 /dev/urandom >>" + unsignedCopy + "; osslsigncode sign -certs " +
            Testing::ShellQuote(certs + "/company.pem") + " -key " + Testing::ShellQuote(certs + "/company.key") +
            " -h sha256 -n 'Test installer' -in " + unsignedCopy + " -out " +
            Testing::ShellQuote(Testing::UnixPath(installer)) + "; rm " + unsignedCopy,
        300000);
    if (signing.exitCode != 0) return fail("signing failed: " + signing.output);

    Testing::ScratchFolder scratch;
    BeginOptions begin;
    begin.urls = {nginx.SecureUrl(L"setup.exe")};
    Sha256OfFile(installer, L"", begin.hash);
    begin.args = L"--record=" + scratch.File(L"record.txt");
    std::vector<double> total, download, validation, install;
    for (int round = 0; round < kRounds; ++round) {
        Phases phases{};
        if (!UpdateOnce(begin, phases)) return fail("round " + std::to_string(round + 1) + " did not complete");
        total.push_back(phases.total);
        download.push_back(phases.download);
        validation.push_back(phases.validation);
        install.push_back(phases.install);
    }
    if (Testing::ReadInstallerRecord(scratch.File(L"record.txt")).size() != kRounds) {
        return fail("the installer did not run in every round");
    }
    Bench::Report("UpdateThroughWorker/256MiB begin to status 2", Bench::Median(total), "s");
    Bench::Report("UpdateThroughWorker/256MiB download (HTTPS)", Bench::Median(download), "s");
    Bench::Report("UpdateThroughWorker/256MiB hash and signature", Bench::Median(validation), "s");
    Bench::Report("UpdateThroughWorker/256MiB silent install", Bench::Median(install), "s");
}
