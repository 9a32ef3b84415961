#include "base/crash_report.h"

#include <atomic>
#include <csignal>
#include <exception>

#include "base/log.h"

namespace {

// Set once the filter has written its dump, so that the abort it raises
// afterwards does not write a second one.
std::atomic<uint32_t> crashFilterRan{0};

// The thread that writes the process's one crash report; 0 before any failure.
std::atomic<DWORD> reportingThread{0};

// How long a second failing thread waits for the first one's report to end
// the process before it lets the platform end it. Far longer than a dump
// takes; the bound only matters if the first report itself hangs.
constexpr DWORD kSecondFailureWaitMs = 120000;

// Code of the exception record built for an abort: the application ended itself.
constexpr DWORD kAbortExceptionCode = 0x40000015;  // STATUS_FATAL_APP_EXIT

enum class Claim { Owner, Reentered, OtherThread };

Claim ClaimReport() {
    const DWORD self = GetCurrentThreadId();
    DWORD owner = 0;
    if (reportingThread.compare_exchange_strong(owner, self)) return Claim::Owner;
    return owner == self ? Claim::Reentered : Claim::OtherThread;
}

void WaitForReportOfOtherThread(DWORD code) {
    LogWarning(L"Exception %lu on thread [%lu] waits for the crash report of thread [%lu]", code,
               GetCurrentThreadId(), reportingThread.load());
    Sleep(kSecondFailureWaitMs);
}

void CALLBACK CaptureState(PTP_CALLBACK_INSTANCE, void*) {
    // Armed first: a failure while the list is written is reported too.
    InstallCrashHandlers();
    try {
        WriteModuleList();
    } catch (const std::exception& e) {
        LogError(L"Failed to write the module list error [%S]", e.what());
    }
}

}  // namespace

void CaptureStateOnPool() {
    if (!TrySubmitThreadpoolCallback(CaptureState, nullptr, nullptr)) {
        LogError(L"Failed to queue the capture of the trace state error [%lu]", GetLastError());
    }
}

void InstallCrashHandlers() {
    signal(SIGABRT, AbortHandler);
    SetUnhandledExceptionFilter(CrashExceptionFilter);
}

LONG WINAPI CrashExceptionFilter(EXCEPTION_POINTERS* exception) {
    const DWORD code = exception->ExceptionRecord->ExceptionCode;
    switch (ClaimReport()) {
    case Claim::Owner:
        break;
    case Claim::Reentered:
        LogError(L"Exception %lu was raised while the crash report was written", code);
        return EXCEPTION_CONTINUE_SEARCH;
    case Claim::OtherThread:
        WaitForReportOfOtherThread(code);
        return EXCEPTION_CONTINUE_SEARCH;
    }
    LogError(L"An unhandled exception was thrown with error code %lu", code);
    WriteCrashDump(exception);
    LogInfo(L"Finished dumping fault information for exception %lu", code);
    crashFilterRan = 1;
    raise(SIGABRT);
    return EXCEPTION_CONTINUE_SEARCH;
}

void __cdecl AbortHandler(int) {
    LogError(L"The process terminated abnormally");
    if (crashFilterRan != 0) return;
    switch (ClaimReport()) {
    case Claim::Owner:
        break;
    case Claim::Reentered:
        return;
    case Claim::OtherThread:
        WaitForReportOfOtherThread(kAbortExceptionCode);
        return;
    }
    // The exception pointers of this point: the thread's own context, and a
    // record that names the abort and where it happened.
    CONTEXT context = {};
    RtlCaptureContext(&context);
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = kAbortExceptionCode;
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    record.ExceptionAddress = reinterpret_cast<void*>(context.Rip);
    EXCEPTION_POINTERS pointers = {&record, &context};
    WriteCrashDump(&pointers);
    LogInfo(L"Finished dumping fault information for abnormal termination");
}
