#include "autoupdate/transfer_limits.h"

#include <windows.h>

#include "base/test_hooks.h"

namespace {

constexpr uint32_t kReceiveTimeoutMs = 300000;
constexpr uint32_t kMsPerKiB = 64;  // 16 KiB/s

}  // namespace

uint32_t ReceiveTimeoutMs() { return TestableDuration(L"KX_DOWNLOAD_RECEIVE_TIMEOUT_MS", kReceiveTimeoutMs, 500); }

TransferDeadline::TransferDeadline(uint64_t bytes)
    : startMs(GetTickCount64()), limitMs(ReceiveTimeoutMs() + (bytes + 1023) / 1024 * kMsPerKiB) {}

bool TransferDeadline::Passed() const { return GetTickCount64() - startMs > limitMs; }
