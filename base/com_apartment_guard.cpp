#include "base/com_apartment_guard.h"

#include <objbase.h>

#include "base/log.h"

ComApartmentGuard::ComApartmentGuard(uint32_t flags) {
    LogEnter(nullptr);
    LogVerbose(L"Initialising COM with flags [%lu]...", flags);
    result = CoInitializeEx(nullptr, flags);
    if (FAILED(result)) {
        LogError(L"Failed to initialise COM with error [0x%x]", result);
    } else {
        LogVerbose(L"Done initialising COM.");
    }
    LogExit(L"[0x%x]", result);
}

ComApartmentGuard::~ComApartmentGuard() {
    LogEnter(nullptr);
    if (SUCCEEDED(result)) {
        LogVerbose(L"Uninitialising COM...");
        CoUninitialize();
        LogVerbose(L"Done uninitialising COM.");
    }
    LogExit(nullptr);
}
