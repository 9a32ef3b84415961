// Whole updates through a worker (-autoupdate -v) that gets a begin instruction
// over UpdateRpc and downloads a signed installer from a local HTTPS nginx.
// Phases between the worker's own trace lines, each timed as its console line
// arrives: download ("Beginning download" to "Completed download"), validation
// (to "Downloaded binary passed all certificate checks.") and install
// ("Beginning install" to "Completed install"). Medians of three rounds, each
// in a fresh worker.
//
// UpdateThroughWorker: the signed service's worker runs the test installer
// with 256 MiB appended; the total is from the begin call to status 2.
// SelfUpdate: the service as its packages install it. 1.1.0 is installed by
// its setup program for each round, a worker of 1.1.0 runs the setup program
// of 1.2.0; the total is from the begin call until the new service answers a
// query, and the service restart from the old one leaving the running state
// until the new one answers.

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "../tests/autoupdate/installer_fixtures.h"
#include "autoupdate/download_validation.h"
#include "autoupdate/update_rpc_names.h"
#include "bench_harness.h"
#include "support/child_process.h"
#include "support/host_command.h"
#include "support/installed_product.h"
#include "support/nginx_server.h"
#include "support/test_certificates.h"
#include "support/trusted_root.h"
#include "support/wait_until.h"
#include "tools/kxupdate/update_instruction.h"
#include "tools/kxupdate/update_rpc_client.h"

namespace {

constexpr int kRounds = 3;
constexpr DWORD kLimitMs = 600000;

// nginx over HTTPS with a test authority; the authority and the company signer trusted.
struct SignedDownloadServer {
    Testing::TestCertificates certificates;
    Testing::TrustedRootCertificate authority{certificates.Authority()};
    Testing::TrustedRootCertificate signer{Testing::InstallerFixture(L"certs\\company.pem")};
    Testing::NginxServer nginx{&certificates};

    bool Ready() const { return certificates.Made() && authority.Added() && signer.Added() && nginx.Started(); }
    std::string Problem() const { return "setup failed: " + certificates.Output() + nginx.StartOutput(); }
};

struct Phases {
    double total, download, validation, install, restart;
};

// Figures in seconds, one list per phase over the rounds.
struct Rounds {
    std::vector<double> total, download, validation, install, restart;
    void Add(const Phases& phases) {
        total.push_back(phases.total);
        download.push_back(phases.download);
        validation.push_back(phases.validation);
        install.push_back(phases.install);
        restart.push_back(phases.restart);
    }
};

// A worker of the executable; Begin sends the instruction and times the
// phases as their lines arrive.
class TimedWorker {
public:
    explicit TimedWorker(const std::wstring& executable)
        : worker(L"\"" + executable + L"\" -autoupdate -v", L"KX_WORKER_POLL_MS=1000\nKX_UPDATE_PAUSE_MS=1000") {}
    ~TimedWorker() { worker.Wait(60000); }

    bool Listening() { return Arrival("Veltrastone Client Auto Update process listening for instructions...") > 0; }
    // False when the begin failed or a phase's line did not arrive.
    bool Begin(const BeginOptions& begin, Phases& phases) {
        start = Bench::Now();
        if (UpdateRpcClient(kWorkerRpcEndpoint).Call(BeginInstruction(begin)).status != 0) return false;
        const double downloading = Arrival("Beginning download");
        const double downloaded = Arrival("Completed download");
        const double validated = Arrival("Downloaded binary passed all certificate checks.");
        const double installing = Arrival("Beginning install");
        const double installed = Arrival("Completed install");
        phases = {0, downloaded - downloading, validated - downloaded, installed - installing, 0};
        return downloading > 0 && downloaded > 0 && validated > 0 && installing > 0 && installed > 0;
    }
    double Start() const { return start; }

private:
    double Arrival(const char* line) {
        return worker.WaitForOutput(std::string(" : ") + line + "\n", kLimitMs) ? Bench::Now() : 0.0;
    }

    Testing::ChildProcess worker;
    double start = 0;
};

bool UpdateThroughWorkerOnce(const BeginOptions& begin, Phases& phases) {
    TimedWorker worker(Testing::InstallerFixture(L"kxclient_service_signed.exe"));
    if (!worker.Listening() || !worker.Begin(begin, phases)) return false;
    const UpdateRpcClient client(kWorkerRpcEndpoint);
    const bool completed = Testing::WaitUntil(
        [&] {
            const auto reply = client.Call(QueryInstruction()).reply;
            const auto progress = reply ? ParseProgress(*reply) : std::nullopt;
            return progress && progress->status == Completed;
        },
        kLimitMs);
    phases.total = Bench::Now() - worker.Start();
    return completed;
}

// When the running service was replaced: the old one left the running state
// (down), the new one answered a query (up).
struct ServiceReplacement {
    double down = 0, up = 0;
    void Watch(DWORD oldPid, double deadline) {
        const UpdateRpcClient service(kServiceRpcEndpoint);
        for (; up == 0 && Bench::Now() < deadline; Sleep(10)) {
            const DWORD pid = Testing::InstalledProduct::ServicePid();
            if (down == 0 && pid != oldPid) down = Bench::Now();
            if (down > 0 && pid != 0 && service.Call(QueryInstruction()).status == 0) up = Bench::Now();
        }
    }
};

bool SelfUpdateOnce(const BeginOptions& begin, Phases& phases) {
    const Testing::InstalledProduct product;
    const std::wstring setup = Testing::InstallerFixture(L"packages\\kxclient-setup-1.1.0.exe");
    if (Testing::RunToEnd(L"\"" + setup + L"\" /quiet /norestart", kLimitMs).exitCode != 0) return false;
    const DWORD oldPid = product.ServicePid();
    TimedWorker worker(Testing::InstallerFixture(L"packages\\1.1.0\\kxclient_service.exe"));
    if (oldPid == 0 || !worker.Listening()) return false;
    ServiceReplacement replacement;
    std::thread watcher([&] { replacement.Watch(oldPid, Bench::Now() + kLimitMs / 1000.0); });
    const bool begun = worker.Begin(begin, phases);
    watcher.join();
    phases.total = replacement.up - worker.Start();
    phases.restart = replacement.up - replacement.down;
    return begun && replacement.up > 0 && product.ServicePid() != oldPid;
}

}  // namespace

KX_MEASUREMENT(UpdateThroughWorker) {
    const auto fail = [](const std::string& why) { Bench::Report("UpdateThroughWorker " + why, 0, ""); };
    const SignedDownloadServer server;
    if (!server.Ready()) return fail(server.Problem());
    // The test installer with 256 MiB appended, signed as the company.
    const std::string certs = Testing::UnixPath(Testing::InstallerFixture(L"certs"));
    const std::wstring installer = server.nginx.DocumentRoot() + L"\\setup.exe";
    const std::string unsignedCopy =
        Testing::ShellQuote(Testing::UnixPath(server.nginx.DocumentRoot() + L"\\unsigned.exe"));
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
    begin.urls = {server.nginx.SecureUrl(L"setup.exe")};
    Sha256OfFile(installer, L"", begin.hash);
    begin.args = L"--record=" + scratch.File(L"record.txt");
    Rounds rounds;
    for (int round = 0; round < kRounds; ++round) {
        Phases phases{};
        if (!UpdateThroughWorkerOnce(begin, phases)) {
            return fail("round " + std::to_string(round + 1) + " did not complete");
        }
        rounds.Add(phases);
    }
    if (Testing::ReadInstallerRecord(scratch.File(L"record.txt")).size() != kRounds) {
        return fail("the installer did not run in every round");
    }
    Bench::Report("UpdateThroughWorker/256MiB begin to status 2", Bench::Median(rounds.total), "s");
    Bench::Report("UpdateThroughWorker/256MiB download (HTTPS)", Bench::Median(rounds.download), "s");
    Bench::Report("UpdateThroughWorker/256MiB hash and signature", Bench::Median(rounds.validation), "s");
    Bench::Report("UpdateThroughWorker/256MiB silent install", Bench::Median(rounds.install), "s");
}

KX_MEASUREMENT(SelfUpdate) {
    const auto fail = [](const std::string& why) { Bench::Report("SelfUpdate " + why, 0, ""); };
    const SignedDownloadServer server;
    if (!server.Ready()) return fail(server.Problem());
    const std::string setup =
        Testing::ReadWholeFile(Testing::InstallerFixture(L"packages\\kxclient-setup-1.2.0.exe"));
    BeginOptions begin;
    begin.urls = {server.nginx.SecureUrl(L"setup.exe")};
    Sha256OfFile(server.nginx.Publish(L"setup.exe", setup), L"", begin.hash);
    Rounds rounds;
    for (int round = 0; round < kRounds; ++round) {
        Phases phases{};
        if (!SelfUpdateOnce(begin, phases)) return fail("round " + std::to_string(round + 1) + " did not complete");
        rounds.Add(phases);
    }
    const std::string name = "SelfUpdate/1.1.0 to 1.2.0 (setup " + std::to_string(setup.size() / 1024) + " KiB) ";
    Bench::Report(name + "begin to the new service answering", Bench::Median(rounds.total), "s");
    Bench::Report(name + "download (HTTPS)", Bench::Median(rounds.download), "s");
    Bench::Report(name + "hash and signature", Bench::Median(rounds.validation), "s");
    Bench::Report(name + "install (setup program, msiexec)", Bench::Median(rounds.install), "s");
    Bench::Report(name + "service restart (old stopped to new answering)", Bench::Median(rounds.restart), "s");
}
