#include "autoupdate/transfer_limits.h"

#include <windows.h>

#include "base/test_hooks.h"

namespace {

constexpr uint32_t kReceiveTimeoutMs = 300000;
constexpr uint32_t kMsPerKiB = 64;  // 16 KiB/s

}  // namespace

uint32_t ReceiveTimeoutMs() { return TestableDuration(L"KX_DOWNLOAD_RECEIVE_TIMEOUT_MS", kReceiveTimeoutMs, 500); }

// Tests raise the floor rate through KX_DOWNLOAD_MS_PER_KIB.
TransferDeadline::TransferDeadline(uint64_t bytes)
    : startMs(GetTickCount64()),
      limitMs(ReceiveTimeoutMs() + (bytes + 1023) / 1024 * TestableDuration(L"KX_DOWNLOAD_MS_PER_KIB", kMsPerKiB, 1)) {}

bool TransferDeadline::Passed() const { return GetTickCount64() - startMs > limitMs; }
