// A whole update through the real platform: the signed service, installed in
// the Service Control Manager, launches its worker copy, which downloads an
// installer from a local HTTPS nginx the prefix trusts, checks its hash and
// signature, runs it, cleans the cache and ends by itself. The service's own
// endpoint runs an update in the service process. kxupdate is the client.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "autoupdate/download_cache.h"
#include "autoupdate/installer_fixtures.h"
#include "autoupdate/worker_process.h"
#include "base/text.h"
#include "support/child_process.h"
#include "support/installed_service.h"
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

}  // namespace

TEST(ServiceUpdate, WorkerInstallsTheSignedInstallerFromHttpsAndEndsByItself) {
    Testing::WorkerCleanup workers;
    Testing::TestCertificates certificates;
    ASSERT_TRUE(certificates.Made()) << certificates.Output();
    Testing::TrustedRootCertificate authority(certificates.Authority());
    Testing::TrustedRootCertificate signer(Testing::InstallerFixture(L"certs\\company.pem"));
    ASSERT_TRUE(authority.Added() && signer.Added());
    Testing::NginxServer nginx(&certificates);
    ASSERT_TRUE(nginx.Started()) << nginx.StartOutput();
    // Wine's service manager gives services the environment it had at its own start:
    // cmd shortens the worker poll (still ample for the begin) and final pause.
    Testing::InstalledService service(L"cmd.exe /c \"set KX_WORKER_POLL_MS=5000&& set KX_UPDATE_PAUSE_MS=2000&& \"" +
                                      Testing::InstallerFixture(L"kxclient_service_signed.exe") + L"\" -service\"");
    ASSERT_EQ(service.Start(), 0u);
    ASSERT_TRUE(Testing::WaitUntil([] { return Kxupdate(L"query").exitCode == 0; }));
    Testing::ScratchFolder scratch;
    const DownloadCache cache;

    const struct {
        const wchar_t* installer;
        std::string finalLine;  // as kxupdate watch shows it
    } cases[] = {
        {L"test_installer_company.exe", "] Completed"},
        {L"test_installer.exe",
         "] Failed: Binary failed certificate validation. Certificate missing or not issued from Veltrastone."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ToNarrow(c.installer));
        const bool installs = c.finalLine == "] Completed";
        const std::wstring hash = Testing::HostSha256(Testing::InstallerFixture(c.installer));
        nginx.Publish(c.installer, Testing::ReadWholeFile(Testing::InstallerFixture(c.installer)));
        const std::wstring record = scratch.File(std::wstring(c.installer) + L".txt");
        const std::wstring args = L"--record=" + record + L" --exit-code=3010";

        ASSERT_EQ(Kxupdate(L"launch").exitCode, 0u);
        ASSERT_TRUE(Testing::WaitUntil([] { return Kxupdate(L"query --endpoint worker").exitCode == 0; }));
        EXPECT_EQ(Kxupdate(L"begin --endpoint worker --url " + nginx.SecureUrl(c.installer) + L" --hash " + hash +
                           L" --args \"" + args + L"\"")
                      .output,
                  "{\"data\":{\"status\":0}}\n");
        const auto watch = Kxupdate(L"watch --endpoint worker", L"KX_KXUPDATE_WATCH_MS=20");
        EXPECT_EQ(watch.exitCode, installs ? 0u : 3u);
        EXPECT_NE(watch.output.find(c.finalLine), std::string::npos) << watch.output;
        EXPECT_EQ(Testing::ProgramsInCache(cache.Folder()), std::vector<std::wstring>{kWorkerFileName});
        const auto runs = Testing::ReadInstallerRecord(record);
        ASSERT_EQ(runs.size(), installs ? 1u : 0u);
        for (const auto& run : runs) {
            EXPECT_EQ(run.commandLine, cache.CachePathFor(hash, L"") + L" /quiet /norestart " + args);
        }
        EXPECT_TRUE(Testing::WaitUntil([] { return Testing::WorkerProcessIds().empty(); }, 60000));
    }

    // The service's own endpoint runs an update inside the service process.
    EXPECT_EQ(Kxupdate(L"begin --url http://127.0.0.1:9/kx.msi").output, "{\"data\":{\"status\":0}}\n");
    const auto watch = Kxupdate(L"watch", L"KX_KXUPDATE_WATCH_MS=20");
    EXPECT_NE(watch.output.find("] Failed: Failed to connect to url"), std::string::npos) << watch.output;
}
