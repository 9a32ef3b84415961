// The download client against real servers on loopback: nginx for what a
// good server does, tinyproxy as the proxy, and the fault server for what a
// broken one does. Each case checks the file left in the cache, the exception
// text, the failure's trace line and the requests the server itself saw.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "autoupdate/download_client.h"
#include "base/file_info.h"
#include "base/text.h"
#include "base/unique_any.h"
#include "instruction_helpers.h"
#include "support/event_capture.h"
#include "support/nginx_server.h"
#include "support/test_certificates.h"
#include "support/trusted_root.h"

using Testing::PayloadBytes;
using Testing::ReadWholeFile;
using Testing::UnixPath;

namespace {

// Three chunks and a bit, so that reads cross chunk boundaries.
constexpr size_t kLength = 3 * 524288 + 12345;

// Empty when the download succeeded.
std::string DownloadError(const std::wstring& url, const std::wstring& path,
                          const ProxySettings& proxy = {false, {}, {}, {}}) {
    return Testing::ThrownText([&] { FileDownloader(proxy, path).Download(url); });
}

// Large contents compare without printing them.
testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected) {
    if (actual == expected) return testing::AssertionSuccess();
    const auto mismatch = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    return testing::AssertionFailure() << actual.size() << " bytes where " << expected.size()
                                       << " were expected, first difference at " << (mismatch.first - actual.begin());
}

std::string RangeHeader(size_t start, size_t length) {
    return "bytes=" + std::to_string(start) + "-" + std::to_string(static_cast<long long>(length) - 1);
}

// What a server logged after its first count lines.
std::vector<std::string> Since(std::vector<std::string> lines, size_t count) {
    lines.erase(lines.begin(), lines.begin() + std::min(count, lines.size()));
    return lines;
}

class DownloadFaults : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Started());
        SetEnvironmentVariableW(L"KX_DOWNLOAD_RECEIVE_TIMEOUT_MS", L"2000");
    }
    void TearDown() override { SetEnvironmentVariableW(L"KX_DOWNLOAD_RECEIVE_TIMEOUT_MS", nullptr); }
    Testing::FaultServer server;
    Testing::ScratchFolder cache;
};

}  // namespace

// Every url here names nginx's port, which the connection must use; the
// query stays in the path the server is asked for.
TEST(DownloadFromNginx, ResumesReplacesOrKeepsWhatTheCacheHolds) {
    Testing::NginxServer nginx;
    ASSERT_TRUE(nginx.Started()) << nginx.StartOutput();
    nginx.Publish(L"setup.exe", PayloadBytes(kLength));
    Testing::ScratchFolder cache;
    struct Case {
        const wchar_t* served;
        size_t length;
        size_t cached;  // payload bytes already in the cache, then 0xEE bytes past the length
        const wchar_t* name;
    } cases[] = {
        {L"setup.exe?v=2", kLength, 0, L"fresh.exe"},
        // A name the console code page cannot spell.
        {L"setup.exe", kLength, 700001, L"\x4E0B\x8F7D\x03A9.exe"},
        {L"setup.exe", kLength, kLength, L"complete.exe"},
        {L"setup.exe", kLength, kLength + 10, L"oversized.exe"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "cached " << c.cached << " of " << c.length);
        const size_t payload = std::min(c.cached, c.length);
        const std::string before = PayloadBytes(payload) + std::string(c.cached - payload, '\xEE');
        const std::wstring path = c.cached ? cache.WriteFile(c.name, before) : cache.File(c.name);
        const size_t logged = nginx.Requests().size();
        EXPECT_EQ(DownloadError(nginx.Url(c.served), path), "");
        EXPECT_TRUE(SameBytes(ReadWholeFile(path), c.cached == c.length ? before : PayloadBytes(c.length)));
        // One plain request; with a cached file no longer than the download,
        // exactly one ranged request after it.
        const std::string uri = "/" + ToNarrow(c.served);
        std::vector<std::string> expected{uri + " 200 - -"};
        if (c.cached != 0 && c.cached <= c.length) {
            expected.push_back(uri + (c.cached < c.length ? " 206 " : " 416 ") + RangeHeader(c.cached, c.length) + " -");
        }
        EXPECT_EQ(Since(nginx.Requests(logged + expected.size()), logged), expected);
    }
}

TEST_F(DownloadFaults, EveryFaultEndsInItsTraceLineAndText) {
    // Nothing trusts its authority here; the proxy cases trust it.
    Testing::TestCertificates certificates;
    Testing::NginxServer untrusted(&certificates);
    ASSERT_TRUE(untrusted.Started()) << certificates.Output() << untrusted.StartOutput();
    // Held: open without delete sharing, as by a scanner. A link (the last
    // kinds) leads to a file beside it that holds the cached bytes.
    enum CacheFile { kFree, kHeld, kInMissingFolder, kSymbolicLink, kHardLink };
    const std::wstring closedPort = L"http://127.0.0.1:" + std::to_wstring(Testing::FreeLoopbackPort()) + L"/x.exe";
    const char kStatus[] = "Unexpected Winhttp status code";
    const char kBadLength[] = "Server sent a download length that is not a number, negative, or 2 GiB or more";
    const char kConnect[] = "Failed to connect to url";
    struct Case {
        std::wstring url;
        size_t cached;  // bytes of 0xEE in the cache before the download
        CacheFile file;
        std::string error;
        std::wstring trace;  // start of the failure's trace line
        long long sizeAfter;  // -1: no file
        std::vector<std::string> ranges;  // as the server saw them; empty: not the fault server
    } cases[] = {
        // An error page is no download, even an empty one or one shorter than the cache.
        {server.Url(L"/status/404/0"), 0, kFree, kStatus, L"Unexpected status code, error [404]", -1, {""}},
        {server.Url(L"/status/404/5"), 1000, kFree, kStatus, L"Unexpected status code, error [404]", 1000, {""}},
        {server.Url(L"/chunked/5000"), 0, kFree, "Server did not send the length of the download",
         L"Call to QueryRequestHeader (ContentLength) failed with: [12150]", -1, {""}},
        // No trace line shows a password.
        {server.Url(L"/length/-5").insert(7, L"kx:secret@"), 0, kFree, kBadLength,
         L"Response from [" + server.Url(L"/length/-5").insert(7, L"kx:***@") + L"] has a content length outside", -1,
         {""}},
        {server.Url(L"/length/2147483648"), 0, kFree, kBadLength, L"Response from [", -1, {""}},
        {server.Url(L"/length/99999999999999999999999"), 0, kFree, kBadLength, L"Response from [", -1, {""}},
        {server.Url(L"/status/200/0"), 0, kFree, "Server sent an empty download", L"Response from [", -1, {""}},
        {server.Url(L"/short/100000/40000"), 0, kFree, "Downloaded file size does not match expected size",
         L"File download completed but its size: [40000], does not match expected length: [100000].", 40000, {""}},
        // Bounded by the receive timeout; without it WinHTTP waits forever under Wine.
        {server.Url(L"/silent"), 0, kFree, kConnect, L"Call to WinHttpReceiveResponse failed with: [", -1, {""}},
        // A body that stops, or comes more slowly than the floor rate allows:
        // one receive timeout and 64 ms for 200 bytes.
        {server.Url(L"/trickle/1000/3000"), 0, kFree, "Download stalled", L"No data received for [2000] ms", -1, {""}},
        {server.Url(L"/trickle/200/25"), 0, kFree, "Download too slow",
         L"Download not complete within its limit of [2064] ms", -1, {""}},
        // A part of the file other than the one asked for is never appended.
        {server.Url(L"/range-from-zero/300000/sent"), 1000, kFree, "Server sent another part of the file",
         L"Content-Range [bytes 0-298999/300000] of the answer is not [bytes 1000-299999/300000]", -1,
         {"", RangeHeader(1000, 300000)}},
        // A 200 answer to the ranged request replaces the partial file...
        {server.Url(L"/ignore-range/300000"), 1000, kFree, "",
         L"Partial download has been deleted from cache since http connection will return full content.", 300000,
         {"", RangeHeader(1000, 300000)}},
        // ...and is not touched while it cannot be deleted.
        {server.Url(L"/ignore-range/300000"), 1000, kHeld, "Failed to open the partial download",
         L"Failed to open file: [", 1000, {}},
        // A link is replaced, never written or deleted through.
        {server.Url(L"/range-from-zero/300000/asked"), 1000, kSymbolicLink, "", L"Removing link", 300000, {""}},
        {server.Url(L"/range-from-zero/300000/asked"), 1000, kHardLink, "", L"Removing link", 300000, {""}},
        {closedPort, 0, kFree, kConnect, L"Call to WinHttpSendRequest failed with: [", -1, {}},
        {untrusted.SecureUrl(L"setup.exe"), 0, kFree, kConnect, L"Call to WinHttpSendRequest failed with: [", -1, {}},
        {L"setup.exe", 0, kFree, kConnect, L"Failed to crack url.  Error code: [", -1, {}},
        {server.Url(L"/ignore-range/1000"), 0, kInMissingFolder, "Failed to write the download to disk",
         L"Failed to open file: [", -1, {""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.url);
        Testing::EventCapture capture;
        const std::wstring name = std::wstring(c.file == kInMissingFolder ? L"missing\\" : L"") + L"fault" +
                                  std::to_wstring(&c - cases) + L".exe";
        const std::string before(c.cached, '\xEE');
        const std::wstring target = cache.WriteFile(name + L".target", before);
        const std::wstring path = c.cached && c.file < kSymbolicLink ? cache.WriteFile(name, before) : cache.File(name);
        if (c.file == kSymbolicLink) Testing::RunHostCommand("ln -s " + UnixPath(target) + " " + UnixPath(path));
        if (c.file == kHardLink) CreateHardLinkW(path.c_str(), target.c_str(), nullptr);
        const Base::UniqueFileHandle held(
            c.file != kHeld ? INVALID_HANDLE_VALUE
                            : CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
        const size_t seen = server.Ranges().size();

        const std::string error = DownloadError(c.url, path);
        EXPECT_TRUE(error.rfind(c.error, 0) == 0 && error.empty() == c.error.empty()) << error;
        EXPECT_TRUE(capture.ContainsStartOf(c.trace));
        EXPECT_EQ(capture.Count(L"secret"), 0u);
        EXPECT_EQ(ReadWholeFile(target), before);
        const std::string after = ReadWholeFile(path);
        EXPECT_EQ(FileExists(path) ? static_cast<long long>(after.size()) : -1, c.sizeAfter);
        EXPECT_TRUE(!c.error.empty() || SameBytes(after, PayloadBytes(300000)));
        if (c.ranges.empty()) continue;
        EXPECT_EQ(Since(server.Ranges(), seen), c.ranges);
    }
}

// A reset loses what the client had received but not yet read; the server
// resets only after sending more than any receive buffer holds, so some bytes
// have reached the file by then.
TEST_F(DownloadFaults, ResetLeavesAPartialFileThatTheNextAttemptResumes) {
    constexpr size_t kFull = 24 << 20;
    constexpr size_t kBeforeReset = 16 << 20;
    Testing::NginxServer nginx;
    ASSERT_TRUE(nginx.Started()) << nginx.StartOutput();
    nginx.Publish(L"setup.exe", PayloadBytes(kFull));
    const std::wstring path = cache.File(L"setup.exe");
    // WinHTTP reports the reset as a failed read or, under Wine, sometimes as
    // the end of the body; either way the download fails with its own text.
    const std::string error =
        DownloadError(server.Url(L"/reset/" + std::to_wstring(kFull) + L"/" + std::to_wstring(kBeforeReset)), path);
    EXPECT_TRUE(error == "Failed to read data" || error == "Downloaded file size does not match expected size") << error;
    const std::string partial = ReadWholeFile(path);
    ASSERT_GT(partial.size(), 0u);
    ASSERT_LE(partial.size(), kBeforeReset);
    EXPECT_TRUE(SameBytes(partial, PayloadBytes(partial.size())));

    EXPECT_EQ(DownloadError(nginx.Url(L"setup.exe"), path), "");
    EXPECT_TRUE(SameBytes(ReadWholeFile(path), PayloadBytes(kFull)));
    EXPECT_EQ(nginx.Requests(2), (std::vector<std::string>{"/setup.exe 200 - -", "/setup.exe 206 " +
                                                            RangeHeader(partial.size(), kFull) + " -"}));
}

// Each case has a proxy of its own, so that no connection WinHTTP keeps from
// an earlier case carries its request (the direct cases come last for the
// same reason), and a PAC file of its own: Wine keeps a script it has run.
TEST(DownloadThroughProxy, NamedProxyPacFileFailedDiscoveryAndDirectReachTheServer) {
    Testing::TestCertificates certificates;
    ASSERT_TRUE(certificates.Made()) << certificates.Output();
    Testing::TrustedRootCertificate trust(certificates.Authority());
    ASSERT_TRUE(trust.Added());
    Testing::NginxServer nginx(&certificates);
    ASSERT_TRUE(nginx.Started()) << nginx.StartOutput();
    nginx.Publish(L"setup.exe", PayloadBytes(kLength));
    const std::wstring pac = L"pac";  // stands for the case's PAC file
    const std::wstring unreachablePac = L"http://127.0.0.1:" + std::to_wstring(Testing::FreeLoopbackPort()) + L"/x.pac";
    const std::wstring http = nginx.Url(L"setup.exe", L"localhost");
    const std::wstring https = nginx.SecureUrl(L"setup.exe");
    const std::wstring named = L"named";  // stands for the case's proxy
    const std::wstring noDhcp = L"Failed to detect proxy server from DHCP/DNS for url [" + http;

    struct Case {
        bool autoDetect;
        std::wstring autoConfigUrl;
        std::wstring namedProxy;
        std::wstring url;
        std::wstring failure;  // start of the line of a way that failed and fell through
        bool throughProxy;
    } cases[] = {
        {false, L"", named, http, L"", true},
        {false, L"", named, https, L"", true},
        {false, pac, L"", http, L"", true},
        {false, pac, L"", https, L"", true},
        {true, L"", named, http, noDhcp, true},
        {false, unreachablePac, named, http, L"Failed to detect proxy server from autoConfigUrl [" + unreachablePac,
         true},
        {true, L"", L"", http, noDhcp, false},
        {false, L"", L"", https, L"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.url << " proxy " << c.namedProxy << " pac " << c.autoConfigUrl);
        Testing::ProxyServer proxy({nginx.HttpsPort()});
        ASSERT_TRUE(proxy.Started());
        const std::wstring address = L"127.0.0.1:" + std::to_wstring(proxy.Port());
        const std::wstring pacName = L"proxy" + std::to_wstring(&c - cases) + L".pac";
        nginx.Publish(pacName, "function FindProxyForURL(url, host) { return \"PROXY " + ToNarrow(address) + "\"; }\n");
        const ProxySettings settings{c.autoDetect, c.autoConfigUrl == pac ? nginx.Url(pacName) : c.autoConfigUrl,
                                     c.namedProxy == named ? address : c.namedProxy, L""};
        Testing::ScratchFolder cache;
        Testing::EventCapture capture;
        const size_t logged = nginx.Requests().size();

        EXPECT_EQ(DownloadError(c.url, cache.File(L"setup.exe"), settings), "");
        EXPECT_TRUE(SameBytes(ReadWholeFile(cache.File(L"setup.exe")), PayloadBytes(kLength)));
        EXPECT_TRUE(capture.ContainsStartOf(c.failure));
        // What the proxy and the server saw: a plain request arrives with
        // tinyproxy's Via header, an HTTPS one through a CONNECT tunnel.
        const bool secure = c.url == https;
        const auto requests = nginx.Requests(logged + 1);
        ASSERT_GT(requests.size(), logged);
        EXPECT_EQ(requests.back().find("tinyproxy") != std::string::npos, c.throughProxy && !secure);
        const auto lines = proxy.RequestLines();
        const std::string expected = secure ? "CONNECT localhost:" + std::to_string(nginx.HttpsPort())
                                            : "GET " + ToNarrow(http);
        EXPECT_EQ(lines.size() == 1 && lines[0].rfind(expected, 0) == 0, c.throughProxy);
    }
}
