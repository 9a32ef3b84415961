#include "base/access_token.h"

#include <wtsapi32.h>

#include "base/exception.h"
#include "base/log.h"

namespace Base {

Ref<AccessToken> OpenSessionToken(DWORD sessionId) {
    HANDLE token = nullptr;
    if (!WTSQueryUserToken(sessionId, &token)) {
        const DWORD error = GetLastError();
        LogError(L"Failed to get token from session [%lu] error [%lu]", sessionId, error);
        throw ExceptionWin32(error);
    }
    LogVerbose(L"Successfully opened token [%p] from session [%lu]", token, sessionId);
    return MakeRef<AccessToken>(token);
}

Ref<AccessToken> OpenCurrentProcessToken() {
    HANDLE process = GetCurrentProcess();
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, MAXIMUM_ALLOWED, &token)) {
        const DWORD error = GetLastError();
        LogError(L"Failed to get token from process [%p] desired access [%lu] error [%lu]", process,
                 static_cast<DWORD>(MAXIMUM_ALLOWED), error);
        throw ExceptionWin32(error);
    }
    LogVerbose(L"Successfully opened token [%p] from process [%p] desired access [%lu]", token, process,
               static_cast<DWORD>(MAXIMUM_ALLOWED));
    return MakeRef<AccessToken>(token);
}

std::vector<BYTE> GetTokenUserInformation(const Ref<AccessToken>& token) {
    DWORD length = 0;
    GetTokenInformation(token->Handle(), TokenUser, nullptr, 0, &length);
    DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER) {
        LogError(L"Failed to get token [%p] information [%lu] error [%lu]", token->Handle(),
                 static_cast<DWORD>(TokenUser), error);
        throw ExceptionWin32(error);
    }
    std::vector<BYTE> buffer(length);
    if (!GetTokenInformation(token->Handle(), TokenUser, buffer.data(), length, &length)) {
        error = GetLastError();
        LogError(L"Failed to get token [%p] information [%lu] length [%lu] error [%lu]", token->Handle(),
                 static_cast<DWORD>(TokenUser), static_cast<DWORD>(buffer.size()), error);
        throw ExceptionWin32(error);
    }
    return buffer;
}

UserSid GetUserSid(const Ref<AccessToken>& token) {
    std::vector<BYTE> information = GetTokenUserInformation(token);
    PSID sid = reinterpret_cast<TOKEN_USER*>(information.data())->User.Sid;
    const DWORD length = GetLengthSid(sid);
    UserSid copy(LocalAlloc(LPTR, length));
    if (!copy || !CopySid(length, copy.Get(), sid)) {
        const DWORD error = GetLastError();
        LogError(L"Failed to copy user sid from token [%p] error [%lu]", token->Handle(), error);
        throw ExceptionWin32(error);
    }
    return copy;
}

}  // namespace Base
