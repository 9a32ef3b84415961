#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "base/log.h"
#include "bench_harness.h"

// No trace session and no console: the call must return at the enable check.
KX_BENCHMARK(DisabledLogCall) {
    EnsureLoggingInitialised();
    Base::Testing::SetConsoleOutput(0, 0);
    for (uint64_t i = 0; i < iterations; ++i) LogVerbose(L"Disabled line %d", static_cast<int>(i));
}

// A full console line, formatted and written to a discarded standard output.
KX_BENCHMARK(EnabledConsoleLine) {
    EnsureLoggingInitialised();
    fflush(stdout);
    const int saved = _dup(1);
    const int discard = _open("NUL", _O_WRONLY);
    _dup2(discard, 1);
    Base::Testing::SetConsoleOutput(1, 3);
    for (uint64_t i = 0; i < iterations; ++i) LogInfo(L"Console line %d of %s", static_cast<int>(i), L"bench");
    Base::Testing::SetConsoleOutput(0, 0);
    fflush(stdout);
    _dup2(saved, 1);
    _close(discard);
    _close(saved);
}
