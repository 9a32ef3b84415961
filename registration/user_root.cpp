#include "registration/user_root.h"

#include <windows.h>
#include <sddl.h>

#include "base/exception.h"
#include "base/log.h"

namespace {
constexpr REGSAM kUserRootAccess = KEY_READ | KEY_WRITE;  // 0x2001F
}

Base::Ref<RegistryKey> OpenUserRoot(const Base::Ref<Base::AccessToken>& token) {
    const Base::UserSid sid = Base::GetUserSid(token);
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid.get(), &text)) {
        const DWORD error = GetLastError();
        LogError(L"Failed to convert sid to string sid error [%lu]", error);
        throw Base::ExceptionWin32(error);
    }
    const std::wstring sidText(text);
    LocalFree(text);
    return RegistryKey::Root(HKEY_USERS)->OpenSubKey(sidText, kUserRootAccess);
}
