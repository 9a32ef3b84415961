#include "base/pool_callback.h"

namespace Base {
namespace {
thread_local const void* runningObject = nullptr;
thread_local PTP_CALLBACK_INSTANCE runningInstance = nullptr;
}  // namespace

PoolCallbackScope::PoolCallbackScope(const void* object, PTP_CALLBACK_INSTANCE instance)
    : previousObject(runningObject), previousInstance(runningInstance) {
    runningObject = object;
    runningInstance = instance;
}

PoolCallbackScope::~PoolCallbackScope() {
    runningObject = previousObject;
    runningInstance = previousInstance;
}

void PoolCallbackScope::LeaveOwnCallback(const void* object) {
    if (object != runningObject || runningInstance == nullptr) return;
    DisassociateCurrentThreadFromCallback(runningInstance);
    runningInstance = nullptr;
}

FILETIME RelativeDueTime(uint32_t delayMs) {
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<int64_t>(delayMs) * 10000;
    return FILETIME{due.LowPart, static_cast<DWORD>(due.HighPart)};
}

}  // namespace Base
