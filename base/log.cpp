#include "base/log.h"

#include <windows.h>
#include <strsafe.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "base/crash_report.h"
#include "base/text.h"
#include "base/trace_provider.h"

namespace {

constexpr size_t kBufferUnits = 512;

// Written once by the entry point, read by every thread that logs.
std::atomic<uint32_t> consoleEnabled{0};
std::atomic<int32_t> consoleLevel{0};

wchar_t imagePath[MAX_PATH];
const wchar_t* imageName = imagePath;

INIT_ONCE initOnce = INIT_ONCE_STATIC_INIT;
std::atomic<bool> initialised{false};
// The module list and the crash handlers run inside the one-time
// initialisation and log; their thread must not wait for itself.
std::atomic<DWORD> initialisingThread{0};

BOOL CALLBACK InitialiseLogging(PINIT_ONCE, PVOID, PVOID*) {
    initialisingThread.store(GetCurrentThreadId());
    GetModuleFileNameW(nullptr, imagePath, MAX_PATH);
    imageName = imagePath;
    for (const wchar_t* p = imagePath; *p; ++p) {
        if (*p == L'\\' || *p == L'/') imageName = p + 1;
    }
    Base::Trace::RegisterProvider();
    if (Base::Trace::IsBitEnabled(Base::Trace::kBitModuleList)) WriteModuleList();
    if (Base::Trace::IsBitEnabled(Base::Trace::kBitCrashReport)) InstallCrashHandlers();
    initialised.store(true, std::memory_order_release);
    return TRUE;
}

struct Level {
    int32_t level;
    const wchar_t* consoleFormat;
    unsigned bit;
    const EVENT_DESCRIPTOR& event;
};

const Level kError{1, L"  ERROR : %s\n", Base::Trace::kBitError, Base::Trace::kEventError};
const Level kWarning{2, L"WARNING : %s\n", Base::Trace::kBitWarning, Base::Trace::kEventWarning};
const Level kInfo{3, L"   INFO : %s\n", Base::Trace::kBitInfo, Base::Trace::kEventInfo};
const Level kVerbose{4, L"VERBOSE : %s\n", Base::Trace::kBitVerbose, Base::Trace::kEventVerbose};
const Level kEnter{5, L"  ENTER : %s\n", Base::Trace::kBitEnter, Base::Trace::kEventEnter};
const Level kExit{6, L"   EXIT : %s\n", Base::Trace::kBitExit, Base::Trace::kEventExit};
const Level kDebug{7, L"VERBOSE : %s\n", Base::Trace::kBitDebug, Base::Trace::kEventDebug};

void Log(const Level& level, const wchar_t* format, va_list args) {
    EnsureLoggingInitialised();
    const bool consoleWanted = consoleLevel.load(std::memory_order_relaxed) >= level.level &&
                               consoleEnabled.load(std::memory_order_relaxed) != 0;
    const bool eventWanted = Base::Trace::IsBitEnabled(level.bit);
    if (!eventWanted && !consoleWanted) return;

    wchar_t message[kBufferUnits] = {};
    if (format != nullptr) StringCchVPrintfW(message, kBufferUnits, format, args);
    if (eventWanted) Base::Trace::WriteLogEvent(level.event, imageName, message);
    if (consoleWanted) {
        wchar_t line[kBufferUnits] = {};
        StringCchPrintfW(line, kBufferUnits, level.consoleFormat, message);
        const std::string narrow = ToNarrow(line);
        printf("%s", narrow.c_str());
        fflush(stdout);
    }
}

}  // namespace

#define KX_DEFINE_LOG(name, level)              \
    void name(const wchar_t* format, ...) {     \
        va_list args;                           \
        va_start(args, format);                 \
        Log(level, format, args);               \
        va_end(args);                           \
    }

KX_DEFINE_LOG(LogError, kError)
KX_DEFINE_LOG(LogWarning, kWarning)
KX_DEFINE_LOG(LogInfo, kInfo)
KX_DEFINE_LOG(LogVerbose, kVerbose)
KX_DEFINE_LOG(LogEnter, kEnter)
KX_DEFINE_LOG(LogExit, kExit)
KX_DEFINE_LOG(LogDebug, kDebug)

void EnsureLoggingInitialised() {
    if (initialised.load(std::memory_order_acquire)) return;
    if (initialisingThread.load() == GetCurrentThreadId()) return;
    InitOnceExecuteOnce(&initOnce, InitialiseLogging, nullptr, nullptr);
}

const wchar_t* ProcessImageName() {
    EnsureLoggingInitialised();
    return imageName;
}

void EnableConsoleOutput(int32_t threshold) { Base::Testing::SetConsoleOutput(1, threshold); }

namespace Base::Testing {
void SetConsoleOutput(uint32_t enabled, int32_t threshold) {
    consoleLevel.store(threshold, std::memory_order_relaxed);
    consoleEnabled.store(enabled, std::memory_order_relaxed);
}
}  // namespace Base::Testing
