// The product updates itself as administrators deploy it. The service, installed
// by its signed setup program, launches its worker copy, which downloads another
// version's setup from a local HTTPS nginx, checks it and runs it; msiexec
// replaces the service meanwhile. Packages: packaging/, built for two versions.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "autoupdate/download_cache.h"
#include "autoupdate/installer_fixtures.h"
#include "base/exception.h"
#include "base/file_info.h"
#include "support/child_process.h"
#include "support/host_command.h"
#include "support/installed_product.h"
#include "support/nginx_server.h"
#include "support/test_certificates.h"
#include "support/trusted_root.h"
#include "support/wait_until.h"
#include "support/worker_cleanup.h"

namespace {

Testing::ProcessResult Kxupdate(const std::wstring& arguments, const std::wstring& environment = L"") {
    return Testing::RunToEnd(L"\"" + Testing::TestBinaryFolder() + L"\\..\\kxupdate.exe\" " + arguments, 120000,
                             environment);
}

std::wstring Package(const std::wstring& name) { return Testing::InstallerFixture(L"packages\\" + name); }
std::wstring SetupProgram(const std::wstring& version) { return Package(L"kxclient-setup-" + version + L".exe"); }

// The statuses kxupdate watch showed after Downloading, each once, " / " between them.
std::string ShownStatuses(const std::string& output) {
    std::string shown, last;
    for (size_t at = output.find("] "); at != std::string::npos; at = output.find("] ", at + 2)) {
        std::string status = output.substr(at + 2, output.find_first_of("[\r\n", at) - at - 2);
        status.erase(status.find_last_not_of(' ') + 1);
        if (status == last || status == "Downloading") continue;
        shown += (shown.empty() ? "" : " / ") + status;
        last = status;
    }
    return shown;
}

}  // namespace

TEST(ServiceUpdate, TheInstalledServiceReplacesItselfThroughItsWorker) {
    Testing::TestCertificates certificates;
    ASSERT_TRUE(certificates.Made()) << certificates.Output();
    Testing::TrustedRootCertificate authority(certificates.Authority());
    Testing::TrustedRootCertificate signer(Testing::InstallerFixture(L"certs\\company.pem"));
    ASSERT_TRUE(authority.Added() && signer.Added());
    Testing::NginxServer nginx(&certificates);
    ASSERT_TRUE(nginx.Started()) << nginx.StartOutput();
    const std::wstring a = L"1.1.0", b = L"1.2.0";
    const auto bySetup = [](const std::wstring& v) { return L"\"" + SetupProgram(v) + L"\" /quiet /norestart"; };
    // msiexec's code as the service reports it: the system's text for it.
    std::string refused = "Installing / Failed: Installation failed. " + Base::SystemMessage(ERROR_INSTALL_FAILURE);
    refused.erase(refused.find_last_not_of("\r\n") + 1);

    const struct {
        const char* name;
        std::vector<std::wstring> installedBy;  // command lines run first
        std::wstring setup;                    // what the update runs
        bool downgrade;
        std::string statuses;  // as ShownStatuses gives them
        std::wstring runningAfter;
        bool removedByUpgradeCode;  // msiexec's log of the package's removal is in the cache
    } cases[] = {
        {"update", {bySetup(a)}, SetupProgram(b), false, "Installing / Completed", b, false},
        // The bundle's uninstall command removes its own package.
        {"downgrade", {bySetup(b)}, SetupProgram(a), true, "Uninstalling / Installing / Completed", a, false},
        // A's bundle, and B's package deployed alone over it by management tools.
        {"downgrade of a package deployed alone",
         {bySetup(a), L"msiexec /i \"" + Package(L"kxclient-x64-" + b + L".msi") + L"\" /qn"}, SetupProgram(a), true,
         "Uninstalling / Installing / Completed", a, true},
        {"downgrade that msiexec refuses", {bySetup(b)}, SetupProgram(a), false, refused, b, false},
        {"unsigned setup", {bySetup(a)}, Package(b + L"\\unsigned\\kxclient-setup.exe"), false,
         "Failed: Binary failed certificate validation. Certificate missing or not issued from Veltrastone.", a, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Testing::InstalledProduct product;
        for (const std::wstring& command : c.installedBy) ASSERT_EQ(Testing::RunToEnd(command, 120000).exitCode, 0u);
        const DWORD before = product.ServicePid();
        ASSERT_NE(before, 0u);
        nginx.Publish(L"setup.exe", Testing::ReadWholeFile(c.setup));

        ASSERT_TRUE(Testing::WaitUntil([] { return Kxupdate(L"launch").exitCode == 0; }));
        ASSERT_TRUE(Testing::WaitUntil([] { return Kxupdate(L"query --endpoint worker").exitCode == 0; }));
        const std::wstring hash = Testing::HostSha256(c.setup);
        EXPECT_EQ(Kxupdate(L"begin --endpoint worker --url " + nginx.SecureUrl(L"setup.exe") + L" --hash " + hash +
                           (c.downgrade ? L" --downgrade" : L""))
                      .output,
                  "{\"data\":{\"status\":0}}\n");
        const auto watch = Kxupdate(L"watch --endpoint worker", L"KX_KXUPDATE_WATCH_MS=20");
        EXPECT_EQ(ShownStatuses(watch.output), c.statuses) << watch.output;

        // The new service, or the old one still, answers on its endpoint.
        ASSERT_TRUE(Testing::WaitUntil([] { return Kxupdate(L"query").exitCode == 0; }, 60000));
        EXPECT_EQ(product.ServicePid() != before, c.statuses.rfind("Completed") != std::string::npos);
        EXPECT_EQ(Testing::FileVersion(product.ServiceExecutable()), c.runningAfter);
        EXPECT_EQ(Testing::HostSha256(product.ServiceExecutable()),
                  Testing::HostSha256(Package(c.runningAfter + L"\\kxclient_service.exe")));
        EXPECT_EQ(product.UninstallEntryVersions(), (std::vector<std::wstring>{c.runningAfter, c.runningAfter}));
        const DownloadCache cache;
        EXPECT_EQ(FileExists(cache.Folder() + L"client64_uninstall.txt"), c.removedByUpgradeCode);
        // Cleaned after an install; a setup that failed validation is deleted, one that failed to install stays.
        EXPECT_EQ(FileExists(cache.Folder() + hash + L".exe"), c.statuses == refused);
        // The worker ends by itself (at its first 30 s poll after the update): once is enough.
        if (&c == cases) {
            EXPECT_TRUE(Testing::WaitUntil([] { return Testing::WorkerProcessIds().empty(); }, 60000));
        }
    }
}
