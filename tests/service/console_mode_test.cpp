// The console modes, run end to end: the real kxclient_service.exe as a second
// process with its standard input and output on pipes.

#include <gtest/gtest.h>

#include "base/exception.h"
#include "service/service_host.h"
#include "support/child_process.h"
#include "support/event_capture.h"

namespace {
std::wstring Command(const std::wstring& arguments) {
    return L"\"" + Testing::ServiceExecutable() + L"\" " + arguments;
}
}  // namespace

TEST(ConsoleMode, VerboseAloneExitsZeroPrintingNothing) {
    const auto result = Testing::RunToEnd(Command(L"-v"));
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, "");
}

TEST(ConsoleMode, NoSwitchesExitsZeroPrintingNothing) {
    const auto result = Testing::RunToEnd(Command(L""));
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, "");
}

TEST(ConsoleMode, PauseSwitchesWaitForAKeyBeforeAndAfter) {
    Testing::ChildProcess child(Command(L"-v -pos -poe"));
    ASSERT_TRUE(child.Started());
    ASSERT_TRUE(child.WaitForOutput("Press any key to start\n", 20000)) << child.Output();
    Sleep(300);
    EXPECT_TRUE(child.IsRunning());
    EXPECT_EQ(child.Output(), "Press any key to start\n");
    child.WriteInput("k");
    ASSERT_TRUE(child.WaitForOutput("Press any key to exit\n", 20000)) << child.Output();
    Sleep(300);
    EXPECT_TRUE(child.IsRunning());
    child.WriteInput("k");
    EXPECT_EQ(child.Wait(20000), 0u);
    EXPECT_EQ(child.Output(), "Press any key to start\nPress any key to exit\n");
}

TEST(ConsoleMode, ServiceSwitchIgnoresThePauseSwitches) {
    // Started from a console, the dispatcher refuses; the process still ends with 0.
    const auto result = Testing::RunToEnd(Command(L"-pos -poe -service"));
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, "");
}

TEST(ConsoleMode, WorkerWithoutInstructionsQueriesOnceAndEnds) {
    const auto result = Testing::RunToEnd(Command(L"-autoupdate -monitor"), 60000, L"KX_WORKER_POLL_MS=200");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_NE(result.output.find("   INFO : Veltrastone Client Auto Update process listening for instructions...\n"
                                 "   INFO : Querying work in progress...\n"
                                 "   INFO : Veltrastone Client Auto Update process completed\n"),
              std::string::npos)
        << result.output;
    EXPECT_EQ(result.output.find("Running as command line application"), std::string::npos);
    // With -autoupdate the monitor test does not run.
    EXPECT_EQ(result.output.find("Listening for Citrix"), std::string::npos);
}

TEST(ServiceMode, DispatcherRefusalFromAConsoleIsLogged) {
    Testing::EventCapture capture;
    ServiceHost host;
    host.Run(L"kxclient_service.exe -SERVICE");
    EXPECT_TRUE(capture.Contains(L"Running as a service"));
    EXPECT_TRUE(capture.Contains(L"Call to StartServiceCtrlDispatcher returned FALSE. Error code is 1063"));
    EXPECT_EQ(host.CommandLine(), L"kxclient_service.exe -SERVICE");
}
