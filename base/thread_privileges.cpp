#include "base/thread_privileges.h"

#include <windows.h>

#include "base/log.h"
#include "base/unique_any.h"

namespace Base {

ThreadPrivileges::ThreadPrivileges(std::initializer_list<const wchar_t*> names) {
    if (!ImpersonateSelf(SecurityImpersonation)) {
        LogWarning(L"ImpersonateSelf failed error [%lu]", GetLastError());
        return;
    }
    impersonating = true;
    UniqueHandle token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_ADJUST_PRIVILEGES, TRUE, token.Put())) {
        LogWarning(L"OpenThreadToken failed error [%lu]", GetLastError());
        return;
    }
    for (const wchar_t* name : names) {
        TOKEN_PRIVILEGES privilege{};
        privilege.PrivilegeCount = 1;
        privilege.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        // AdjustTokenPrivileges succeeds without enabling a privilege the token lacks.
        if (!LookupPrivilegeValueW(nullptr, name, &privilege.Privileges[0].Luid) ||
            !AdjustTokenPrivileges(token.Get(), FALSE, &privilege, 0, nullptr, nullptr) ||
            GetLastError() != ERROR_SUCCESS) {
            LogWarning(L"Privilege [%s] could not be enabled error [%lu]", name, GetLastError());
        }
    }
}

ThreadPrivileges::~ThreadPrivileges() {
    if (impersonating) RevertToSelf();
}

}  // namespace Base
