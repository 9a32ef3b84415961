#pragma once
// The echoing test server (tools/fixtures/programs/rpc_test_server.cpp) of
// the UpdateRpc end-to-end tests, on an endpoint no other test uses, and the
// suite that shares one.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "support/child_process.h"

namespace RpcTesting {

inline std::wstring UniqueEndpoint(const wchar_t* purpose) {
    static std::atomic<int> counter{0};
    return L"kx-test-" + std::wstring(purpose) + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(counter++);
}

class TestServer {
public:
    explicit TestServer(const std::wstring& endpoint, const std::wstring& options = L"")
        : endpoint(endpoint),
          process(L"\"" + Testing::TestBinaryFolder() + L"\\rpc_test_server.exe\" \"" + endpoint + L"\" " + options) {
        ready = process.Started() && process.WaitForOutput("ready\n", 30000);
    }
    ~TestServer() { Stop(); }

    bool Ready() const { return ready; }
    const std::wstring& Endpoint() const { return endpoint; }
    std::string Output() { return process.Output(); }
    // Stops the server the way it stops in production, and returns its output.
    std::string Stop() {
        if (!stopped) {
            stopped = true;
            process.WriteInput("stop\n");
            process.Wait(30000);
        }
        return process.Output();
    }

private:
    std::wstring endpoint;
    Testing::ChildProcess process;
    bool ready = false;
    bool stopped = false;
};

class ServerSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server = std::make_unique<TestServer>(UniqueEndpoint(L"suite")); }
    static void TearDownTestSuite() { server.reset(); }
    void SetUp() override { ASSERT_TRUE(server->Ready()) << server->Output(); }

    static inline std::unique_ptr<TestServer> server;
};

}  // namespace RpcTesting
