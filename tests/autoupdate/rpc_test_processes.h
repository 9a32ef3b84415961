#pragma once
// The processes of the UpdateRpc end-to-end tests: the echoing test server
// (tests/fixtures/rpc_test_server.cpp) on an endpoint no other test uses, the
// suite that shares one, and paths of the client executables.

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

inline std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\""; }
inline std::wstring TestExe(const wchar_t* name) { return Quoted(Testing::TestBinaryFolder() + L"\\" + name); }
inline std::wstring KxUpdate() { return Quoted(Testing::TestBinaryFolder() + L"\\..\\kxupdate.exe"); }

class TestServer {
public:
    explicit TestServer(const std::wstring& endpoint, const std::wstring& options = L"")
        : endpoint(endpoint),
          process(std::make_unique<Testing::ChildProcess>(TestExe(L"rpc_test_server.exe") + L" " + Quoted(endpoint) +
                                                          L" " + options)) {
        ready = process->Started() && process->WaitForOutput("ready\n", 30000);
    }
    ~TestServer() { Stop(); }

    bool Ready() const { return ready; }
    const std::wstring& Endpoint() const { return endpoint; }
    std::string Output() { return process->Output(); }
    // Stops the server the way it stops in production, and returns its output.
    std::string Stop() {
        if (!stopped) {
            stopped = true;
            process->WriteInput("stop\n");
            process->WaitForOutput("stopped\n", 30000);
            process->Wait(30000);
        }
        return process->Output();
    }

private:
    std::wstring endpoint;
    std::unique_ptr<Testing::ChildProcess> process;
    bool ready = false;
    bool stopped = false;
};

// A suite whose cases share one echoing test server.
class ServerSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server = new TestServer(UniqueEndpoint(L"suite")); }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(server->Ready()) << server->Output(); }

    static inline TestServer* server = nullptr;
};

}  // namespace RpcTesting
