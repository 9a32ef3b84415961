#pragma once
// Tokens of a session's user or of this process, and the user SID they carry.
// Every failure is logged once and thrown as Base::ExceptionWin32 with the
// system's error code.

#include <windows.h>

#include <vector>

#include "base/object.h"
#include "base/unique_any.h"

namespace Base {

class AccessToken : public Object {
public:
    explicit AccessToken(HANDLE token) : token(token) {}
    HANDLE Handle() const { return token.Get(); }

private:
    ~AccessToken() override = default;
    UniqueHandle token;
};

// A copy of a SID in LocalAlloc memory, valid after its token is gone.
using UserSid = UniqueLocalMemory;

Ref<AccessToken> OpenSessionToken(DWORD sessionId);
Ref<AccessToken> OpenCurrentProcessToken();
std::vector<BYTE> GetTokenUserInformation(const Ref<AccessToken>& token);
UserSid GetUserSid(const Ref<AccessToken>& token);

}  // namespace Base

using Base::OpenCurrentProcessToken;
using Base::OpenSessionToken;
