// The service updating itself as the product's packages install it: version
// 1.1.0 installed by its setup program, a worker of 1.1.0 (-autoupdate -v, its
// trace lines timed as they arrive) gets a begin instruction for the signed
// setup program of 1.2.0 from a local HTTPS nginx. Figures: seconds from the
// begin call until the new service answers a query on its endpoint, and the
// phases: download ("Beginning download" to "Completed download"), validation
// (to "Downloaded binary passed all certificate checks."), install (the setup
// program and msiexec, "Beginning install" to "Completed install") and service
// restart (from the old service leaving the running state until the new one
// answers). The median of three rounds, each from a fresh installation.

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "../tests/autoupdate/installer_fixtures.h"
#include "autoupdate/download_validation.h"
#include "autoupdate/update_rpc_names.h"
#include "bench_harness.h"
#include "support/child_process.h"
#include "support/installed_product.h"
#include "support/nginx_server.h"
#include "support/test_certificates.h"
#include "support/trusted_root.h"
#include "tools/kxupdate/update_instruction.h"
#include "tools/kxupdate/update_rpc_client.h"

namespace {

constexpr int kRounds = 3;
constexpr DWORD kLimitMs = 300000;

struct Phases {
    double total, download, validation, install, restart;
};

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

// One update from a fresh installation of 1.1.0; false when a step did not happen.
bool UpdateOnce(const BeginOptions& begin, Phases& phases) {
    const Testing::InstalledProduct product;
    const std::wstring setup = Testing::InstallerFixture(L"packages\\kxclient-setup-1.1.0.exe");
    if (Testing::RunToEnd(L"\"" + setup + L"\" /quiet /norestart", kLimitMs).exitCode != 0) return false;
    const DWORD oldPid = product.ServicePid();
    Testing::ChildProcess worker(
        L"\"" + Testing::InstallerFixture(L"packages\\1.1.0\\kxclient_service.exe") + L"\" -autoupdate -v",
        L"KX_WORKER_POLL_MS=1000\nKX_UPDATE_PAUSE_MS=1000");
    const auto arrival = [&](const char* line) {
        return worker.WaitForOutput(std::string(" : ") + line + "\n", kLimitMs) ? Bench::Now() : 0.0;
    };
    if (oldPid == 0 || arrival("Veltrastone Client Auto Update process listening for instructions...") == 0) {
        return false;
    }
    ServiceReplacement replacement;
    const double start = Bench::Now();
    std::thread watcher([&] { replacement.Watch(oldPid, start + kLimitMs / 1000.0); });
    const bool begun = UpdateRpcClient(kWorkerRpcEndpoint).Call(BeginInstruction(begin)).status == 0;
    const double downloading = arrival("Beginning download");
    const double downloaded = arrival("Completed download");
    const double validated = arrival("Downloaded binary passed all certificate checks.");
    const double installing = arrival("Beginning install");
    const double installed = arrival("Completed install");
    watcher.join();
    worker.Wait(60000);
    phases = {replacement.up - start, downloaded - downloading, validated - downloaded, installed - installing,
              replacement.up - replacement.down};
    return begun && downloading > 0 && downloaded > 0 && validated > 0 && installing > 0 && installed > 0 &&
           replacement.up > 0 && product.ServicePid() != oldPid;
}

}  // namespace

KX_MEASUREMENT(SelfUpdate) {
    const auto fail = [](const std::string& why) { Bench::Report("SelfUpdate " + why, 0, ""); };
    Testing::TestCertificates certificates;
    Testing::TrustedRootCertificate authority(certificates.Authority());
    Testing::TrustedRootCertificate signer(Testing::InstallerFixture(L"certs\\company.pem"));
    Testing::NginxServer nginx(&certificates);
    if (!certificates.Made() || !authority.Added() || !signer.Added() || !nginx.Started()) {
        return fail("setup failed: " + certificates.Output() + nginx.StartOutput());
    }
    const std::wstring setup = nginx.Publish(
        L"setup.exe",
        Testing::ReadWholeFile(Testing::InstallerFixture(L"packages\\kxclient-setup-1.2.0.exe")));
    BeginOptions begin;
    begin.urls = {nginx.SecureUrl(L"setup.exe")};
    Sha256OfFile(setup, L"", begin.hash);
    std::vector<double> total, download, validation, install, restart;
    for (int round = 0; round < kRounds; ++round) {
        Phases phases{};
        if (!UpdateOnce(begin, phases)) return fail("round " + std::to_string(round + 1) + " did not complete");
        total.push_back(phases.total);
        download.push_back(phases.download);
        validation.push_back(phases.validation);
        install.push_back(phases.install);
        restart.push_back(phases.restart);
    }
    const std::string size = std::to_string(Testing::ReadWholeFile(setup).size() / 1024) + " KiB";
    Bench::Report("SelfUpdate/1.1.0 to 1.2.0 (setup " + size + ") begin to the new service answering",
                  Bench::Median(total), "s");
    Bench::Report("SelfUpdate download (HTTPS)", Bench::Median(download), "s");
    Bench::Report("SelfUpdate hash and signature", Bench::Median(validation), "s");
    Bench::Report("SelfUpdate install (setup program, msiexec)", Bench::Median(install), "s");
    Bench::Report("SelfUpdate service restart (old one stopped to new one answering)", Bench::Median(restart), "s");
}
