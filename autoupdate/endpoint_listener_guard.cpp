#include "autoupdate/endpoint_listener_guard.h"

#include "base/log.h"

std::wstring EndpointListenerGuard::GuardName(const wchar_t* endpoint) {
    std::wstring name = L"Local\\kxclient-rpc-listener-";
    for (const wchar_t* p = endpoint; *p; ++p) {
        if (*p == L'\\') name += L"%5C";
        else if (*p == L'%') name += L"%25";
        else name += *p;
    }
    return name;
}

bool EndpointListenerGuard::Acquire(const wchar_t* endpoint) {
    if (mutex != nullptr) {
        LogError(L"RPC endpoint [%s] refused: this server already listens", endpoint);
        return false;
    }
    std::wstring name = GuardName(endpoint);
    HANDLE created = CreateMutexW(nullptr, FALSE, name.c_str());
    DWORD error = GetLastError();
    if (created == nullptr) {
        LogError(L"RPC endpoint guard [%s] could not be created [%lu]", name.c_str(), error);
        return false;
    }
    if (error == ERROR_ALREADY_EXISTS) {
        CloseHandle(created);
        LogError(L"RPC endpoint [%s] refused: another server already listens on it", endpoint);
        return false;
    }
    mutex = created;
    LogDebug(L"RPC endpoint guard [%s] taken", name.c_str());
    return true;
}

void EndpointListenerGuard::Release() {
    if (mutex == nullptr) return;
    CloseHandle(mutex);
    mutex = nullptr;
}
