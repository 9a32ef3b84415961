#include "autoupdate/rpc_caller.h"

#include <windows.h>
#include <rpc.h>
#include <rpcdcep.h>
#include <sddl.h>

#include <vector>

#include "base/unique_any.h"

namespace {

std::wstring AccountOf(PSID sid) {
    wchar_t name[256];
    wchar_t domain[256];
    DWORD nameLength = 256;
    DWORD domainLength = 256;
    SID_NAME_USE use;
    if (LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) {
        return std::wstring(domain) + L"\\" + name;
    }
    Base::UniqueLocalMemory text;
    if (ConvertSidToStringSidW(sid, reinterpret_cast<LPWSTR*>(text.Put()))) return static_cast<wchar_t*>(text.Get());
    return L"unknown";
}

std::wstring AccountOfToken(HANDLE token) {
    DWORD length = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &length);
    std::vector<BYTE> user(length);
    if (length == 0 || !GetTokenInformation(token, TokenUser, user.data(), length, &length)) return L"";
    return AccountOf(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
}

// The identity the runtime gives the call; the thread is reverted at once.
std::wstring ImpersonatedAccount() {
    if (RpcImpersonateClient(nullptr) != RPC_S_OK) return L"";
    Base::UniqueHandle token;
    const bool opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.Put()) != FALSE;
    RpcRevertToSelf();
    return opened ? AccountOfToken(token.Get()) : L"";
}

std::wstring ClientProcessAccount() {
    unsigned long processId = 0;
    const RPC_BINDING_HANDLE call = I_RpcGetCurrentCallHandle();
    if (call == nullptr || I_RpcBindingInqLocalClientPID(call, &processId) != RPC_S_OK) return L"";
    const Base::UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    Base::UniqueHandle token;
    if (!process || !OpenProcessToken(process.Get(), TOKEN_QUERY, token.Put())) return L"";
    return AccountOfToken(token.Get());
}

}  // namespace

std::wstring RpcCallerAccountName() {
    std::wstring account = ImpersonatedAccount();
    if (account.empty()) account = ClientProcessAccount();
    return account.empty() ? L"unknown" : account;
}
