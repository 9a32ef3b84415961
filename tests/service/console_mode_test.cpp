#include <gtest/gtest.h>

#include <vector>

#include "registration/registration_fixture.h"
#include "service/command_line.h"
#include "service/service_host.h"
#include "support/child_process.h"
#include "support/event_capture.h"
#include "support/scratch.h"

// The real service program as a second process: ERROR to INFO reach the console, VERBOSE with "-v" only.
TEST(ConsoleMode, EachSwitchSetRunsItsModeUpToItsLevel) {
    Fixture::Installation registrations;  // "-monitor" repairs the machine's registrations
    registrations.InstallAll();
    const struct {
        const wchar_t* arguments;
        const wchar_t* environment;
        std::vector<const char*> shown;
        std::vector<const char*> hidden;  // "" stands for any output at all
    } runs[] = {
        {L"", L"", {}, {""}},
        {L"-v", L"", {}, {""}},
        {L"-autoupdate -monitor", L"KX_WORKER_POLL_MS=200", {"   INFO : Querying work in progress...\n"},
         {"Listening for Citrix"}},
        {L"-monitor", L"KX_MONITOR_TEST_MS=0",
         {"   INFO : Successfully set channel DriverNameWin32 from [] to kxclient.dll\n", "   INFO : Successfully copied ["},
         {"VERBOSE : "}},
        {L"-monitor -v", L"KX_MONITOR_TEST_MS=0",
         {"Listening for Citrix and Amazon Registration for per-machine...\n", "VERBOSE : Citrix Registration [",
          "Listening for Citrix and Amazon Registration for per-user...\n", "Sleeping for 5 minutes...\n",
          "Stopping listening for Citrix and Amazon Registration issues.\n"},
         {"Running as command line application", "ERROR"}},
    };
    for (const auto& run : runs) {
        const auto result =
            Testing::RunToEnd(L"\"" + Testing::ServiceExecutable() + L"\" " + run.arguments, 60000, run.environment);
        EXPECT_EQ(result.exitCode, 0u);
        size_t at = 0;  // in this order
        for (const char* text : run.shown) {
            at = result.output.find(text, at);
            EXPECT_NE(at, std::string::npos) << text << result.output;
        }
        for (const char* text : run.hidden) {
            EXPECT_TRUE(*text ? result.output.find(text) == std::string::npos : result.output.empty()) << result.output;
        }
    }
    EXPECT_TRUE(registrations.ChannelRepaired());
}

TEST(ConsoleMode, PauseSwitchesWaitForAKeyBeforeAndAfterOutsideServiceMode) {
    Testing::ChildProcess child(L"\"" + Testing::ServiceExecutable() + L"\" -v -pos -poe");
    ASSERT_TRUE(child.Started());
    for (const char* prompt : {"Press any key to start\n", "Press any key to exit\n"}) {
        ASSERT_TRUE(child.WaitForOutput(prompt, 20000)) << child.Output();
        EXPECT_EQ(child.Wait(300), static_cast<DWORD>(STILL_ACTIVE)) << "no key yet";
        child.WriteInput("k");
    }
    EXPECT_EQ(child.Wait(20000), 0u);
    EXPECT_EQ(child.Output(), "Press any key to start\nPress any key to exit\n");
    // Service mode does not look at them; the dispatcher's refusal of a console is logged.
    Testing::EventCapture capture;
    Testing::StdoutCapture out;
    ServiceHost host;
    host.Run(L"kxclient_service.exe -pos -poe -SERVICE");
    EXPECT_TRUE(capture.Contains(L"Call to StartServiceCtrlDispatcher returned FALSE. Error code is 1063"));
    EXPECT_EQ(out.Text(), "");
}

TEST(HasSwitch, SubstringWithAsciiCaseFolding) {
    const struct {
        const wchar_t* commandLine;
        const wchar_t* switchText;
        bool present;
    } cases[] = {
        {L"C:\\x\\kxclient_service.exe -service", L"-service", true},
        {L"C:\\x\\kxclient_service.exe -SeRvIcE", L"-service", true},
        {L"C:\\x\\kxclient_service.exe --services-off", L"-service", true},  // substring, no tokenising
        {L"C:\\x\\kxclient_service.exe", L"-service", false},
        {L"C:\\x\\kxclient_service.exe -servic", L"-service", false},
        {L"C:\\x\\kxclient_service.exe -V", L"-v", true},
        {L"C:\\my-VMs\\kxclient_service.exe", L"-v", true},  // the program path counts too
        {L"C:\\x\\kxclient_service.exe -po", L"-pos", false},
        {L"C:\\x\\kxclient_service.exe -monitor -AUTOUPDATE", L"-autoupdate", true},
        // Only A to Z fold: a dotless or accented capital is not "i" or "e".
        {L"C:\\x\\kxclient_service.exe -SERV\u0130CE", L"-service", false},
        {L"C:\\x\\kxclient_service.exe -s\u00C9rvice", L"-service", false},
        {L"", L"-v", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HasSwitch(c.commandLine, c.switchText), c.present) << c.commandLine << " / " << c.switchText;
    }
}
