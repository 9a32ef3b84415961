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
    if (mutex) {
        LogError(L"RPC endpoint [%s] refused: this server already listens", endpoint);
        return false;
    }
    std::wstring name = GuardName(endpoint);
    Base::UniqueHandle created(CreateMutexW(nullptr, FALSE, name.c_str()));
    const DWORD error = GetLastError();
    if (!created) {
        LogError(L"RPC endpoint guard [%s] could not be created [%lu]", name.c_str(), error);
        return false;
    }
    if (error == ERROR_ALREADY_EXISTS) {
        LogError(L"RPC endpoint [%s] refused: another server already listens on it", endpoint);
        return false;
    }
    mutex = std::move(created);
    LogDebug(L"RPC endpoint guard [%s] taken", name.c_str());
    return true;
}

void EndpointListenerGuard::Release() { mutex.Reset(); }
