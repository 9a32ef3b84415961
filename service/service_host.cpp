#include "service/service_host.h"

#include "autoupdate/update_controller.h"
#include "autoupdate/update_rpc_names.h"
#include "autoupdate/update_rpc_server.h"
#include "base/exception.h"
#include "base/log.h"
#include "base/test_hooks.h"
#include "service/command_line.h"
#include "service/console.h"

namespace {

constexpr uint32_t kWorkerPollMs = 30000;
constexpr uint32_t kMonitorTestMs = 300000;
constexpr DWORD kConsoleTestSession = 0xFFFFFFFF;

ServiceHost serviceHost;

}  // namespace

ServiceHost::ServiceHost() : stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

ServiceHost::~ServiceHost() = default;

ServiceHost& ServiceHost::Instance() { return serviceHost; }

void ServiceHost::OnTimeChange() {
    LogEnter(nullptr);
    LogInfo(L"The SYSTEM TIME changed");
    LogExit(nullptr);
}

void ServiceHost::Run(const std::wstring& line) {
    LogEnter(L"%s", line.c_str());
    commandLine = line;
    if (HasSwitch(commandLine, L"-service")) {
        LogVerbose(L"Running as a service");
        wchar_t emptyName[] = L"";
        SERVICE_TABLE_ENTRYW table[] = {{emptyName, &ServiceHost::ServiceMainEntry}, {nullptr, nullptr}};
        if (!StartServiceCtrlDispatcherW(table)) {
            LogError(L"Call to StartServiceCtrlDispatcher returned FALSE. Error code is %u", GetLastError());
        }
    } else {
        RunConsole();
    }
    LogExit(nullptr);
}

void ServiceHost::RunConsole() {
    LogVerbose(L"Running as command line application");
    EnsureLoggingInitialised();
    EnableConsoleOutput(HasSwitch(commandLine, L"-v") ? 4 : 3);
    if (HasSwitch(commandLine, L"-pos")) {
        WriteConsoleLine("Press any key to start");
        WaitForKeyPress();
    }
    if (HasSwitch(commandLine, L"-autoupdate")) {
        RunAutoUpdateWorker();
    } else if (HasSwitch(commandLine, L"-monitor")) {
        RunMonitorTest();
    }
    if (HasSwitch(commandLine, L"-poe")) {
        WriteConsoleLine("Press any key to exit");
        WaitForKeyPress();
    }
}

void ServiceHost::RunAutoUpdateWorker() {
    StartListening(kWorkerRpcEndpoint);
    LogInfo(L"Veltrastone Client Auto Update process listening for instructions...");
    const DWORD pollMs = TestableDuration(L"KX_WORKER_POLL_MS", kWorkerPollMs, 10);
    for (;;) {
        const DWORD result = WaitForSingleObject(stopEvent.Get(), pollMs);
        if (result == WAIT_OBJECT_0) break;
        if (result == WAIT_FAILED) {
            // A wait that cannot work would spin here for ever.
            LogError(L"Waiting for the stop event failed error [%lu]", GetLastError());
            break;
        }
        if (result != WAIT_TIMEOUT) continue;
        LogInfo(L"Querying work in progress...");
        if (QueryControllerProgress() != ControllerProgress::Running) SetEvent(stopEvent.Get());
    }
    LogInfo(L"Veltrastone Client Auto Update process completed");
    StopListening();
}

void ServiceHost::RunMonitorTest() {
    WriteConsoleLine("Listening for Citrix and Amazon Registration for per-machine...");
    StartPerMachineMonitoring();
    WriteConsoleLine("Listening for Citrix and Amazon Registration for per-user...");
    try {
        StartPerUserMonitoring(kConsoleTestSession, OpenCurrentProcessToken());
    } catch (const Base::Exception& e) {
        // Without the own token there is no user to monitor; the machine's
        // monitors still run their test rather than the process dying.
        LogError(L"Failed to open the token of this process error [%S]", e.what());
    }
    WriteConsoleLine("Sleeping for 5 minutes...");
    Sleep(TestableDuration(L"KX_MONITOR_TEST_MS", kMonitorTestMs, 0));
    WriteConsoleLine("Stopping listening for Citrix and Amazon Registration issues.");
    StopPerMachineMonitoring();
    StopAllPerUserMonitoring();
}
