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
    Base::UniqueLocalMemory text;
    if (!ConvertSidToStringSidW(sid.Get(), reinterpret_cast<wchar_t**>(text.Put()))) {
        const DWORD error = GetLastError();
        LogError(L"Failed to convert sid to string sid error [%lu]", error);
        throw Base::ExceptionWin32(error);
    }
    const std::wstring sidText(static_cast<const wchar_t*>(text.Get()));
    return RegistryKey::Root(HKEY_USERS)->OpenSubKey(sidText, kUserRootAccess);
}
