#include "autoupdate/endpoint_listener_guard.h"

#include <aclapi.h>
#include <sddl.h>

#include "base/access_token.h"
#include "base/exception.h"
#include "base/log.h"

namespace {

// The security of a guard: owned by, and open to, the account only.
Base::UniqueLocalMemory GuardDescriptor(PSID account) {
    Base::UniqueLocalMemory text;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (ConvertSidToStringSidW(account, reinterpret_cast<LPWSTR*>(text.Put()))) {
        const std::wstring sid = static_cast<const wchar_t*>(text.Get());
        const std::wstring sddl = L"O:" + sid + L"D:P(A;;GA;;;" + sid + L")";
        ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr);
    }
    return Base::UniqueLocalMemory(descriptor);
}

bool IsOwnedBy(HANDLE object, PSID account) {
    PSID owner = nullptr;
    Base::UniqueLocalMemory descriptor;
    return GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                           descriptor.Put()) == ERROR_SUCCESS &&
           EqualSid(owner, account);
}

}  // namespace

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
    const std::wstring name = GuardName(endpoint);
    Base::UserSid account;
    try {
        account = Base::GetUserSid(Base::OpenCurrentProcessToken());
    } catch (const Base::Exception& e) {
        LogWarning(L"RPC endpoint guard [%s] not used: no account error [%S]", name.c_str(), e.what());
        return true;
    }
    const Base::UniqueLocalMemory descriptor = GuardDescriptor(account.Get());
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.Get(), FALSE};
    Base::UniqueHandle created(CreateMutexExW(descriptor ? &attributes : nullptr, name.c_str(), 0,
                                              SYNCHRONIZE | READ_CONTROL));
    const DWORD error = GetLastError();
    const bool existed = !created || error == ERROR_ALREADY_EXISTS;
    if (existed && !(created && IsOwnedBy(created.Get(), account.Get()))) {
        LogWarning(L"RPC endpoint guard [%s] belongs to another account [%lu]; listening without it", name.c_str(),
                   error);
        return true;
    }
    if (existed) {
        LogError(L"RPC endpoint [%s] refused: another server already listens on it", endpoint);
        return false;
    }
    mutex = std::move(created);
    LogDebug(L"RPC endpoint guard [%s] taken", name.c_str());
    return true;
}

void EndpointListenerGuard::Release() { mutex.Reset(); }
