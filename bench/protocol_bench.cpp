#include <windows.h>

#include <cstdlib>
#include <string>

#include "autoupdate/update_controller.h"
#include "autoupdate/update_protocol.h"
#include "bench_harness.h"

namespace {

const wchar_t kQuery[] = LR"({"id":"queryAutoUpdateProgress"})";

void DispatchQueries(uint64_t iterations) {
    for (uint64_t i = 0; i < iterations; ++i) {
        wchar_t* response = nullptr;
        DispatchInstruction(kQuery, &response);
        DoNotOptimise(response);
        free(response);
    }
}

// An ended update whose final status every query reports.
void EnsureFinishedController() {
    if (QueryControllerProgress() == ControllerProgress::Finished) return;
    SetEnvironmentVariableW(L"KX_UPDATE_PAUSE_MS", L"0");
    wchar_t* response = nullptr;
    DispatchInstruction(LR"({"id":"beginAutoUpdate"})", &response);
    free(response);
    while (QueryControllerProgress() == ControllerProgress::Running) Sleep(1);
}

}  // namespace

// A query before any begin: parse, dispatch, no reply.
KX_BENCHMARK(DispatchQueryWithoutController) {
    UpdateTesting::ResetController();
    DispatchQueries(iterations);
}

// A query answered with status 3 and its message: parse, lock, write the reply.
KX_BENCHMARK(DispatchQueryWithReply) {
    EnsureFinishedController();
    DispatchQueries(iterations);
}
