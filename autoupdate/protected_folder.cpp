#include "autoupdate/protected_folder.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "base/access_token.h"
#include "base/exception.h"
#include "base/log.h"
#include "base/thread_privileges.h"
#include "base/unique_any.h"

namespace {

// Owned by Administrators; full control for SYSTEM and Administrators, read
// and execute for Users, inherited by everything below; "P" stops inheritance
// from the parent.
const wchar_t kProtectedFolderSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// Rights that let an account change a folder or what it holds.
constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                      FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                      GENERIC_ALL;

Base::UniqueLocalMemory ProtectedDescriptor() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedFolderSddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        LogError(L"Failed to build the protected folder security descriptor error [%lu]", GetLastError());
    }
    return Base::UniqueLocalMemory(descriptor);
}

bool IsTrustedAccount(PSID account, PSID self) {
    return IsWellKnownSid(account, WinBuiltinAdministratorsSid) || IsWellKnownSid(account, WinLocalSystemSid) ||
           EqualSid(account, self);
}

// A missing DACL lets everyone change the folder.
bool LetsOthersChange(PACL dacl, PSID self) {
    if (dacl == nullptr) return true;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry)) return true;
        const BYTE type = static_cast<const ACE_HEADER*>(entry)->AceType;
        if (type == ACCESS_DENIED_ACE_TYPE) continue;
        // Object and callback entries are never written on these folders.
        if (type != ACCESS_ALLOWED_ACE_TYPE) return true;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        if ((allowed->Mask & kChangeRights) != 0 && !IsTrustedAccount(&allowed->SidStart, self)) return true;
    }
    return false;
}

bool IsTrustworthy(HANDLE folder, const std::wstring& path) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    Base::UniqueLocalMemory descriptor;
    const DWORD error = GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                        &owner, nullptr, &dacl, nullptr, descriptor.Put());
    if (error != ERROR_SUCCESS) {
        LogError(L"Failed to read the security of folder [%s] error [%lu]", path.c_str(), error);
        return false;
    }
    const Base::UserSid self = Base::GetUserSid(Base::OpenCurrentProcessToken());
    return owner != nullptr && IsTrustedAccount(owner, self.Get()) && !LetsOthersChange(dacl, self.Get());
}

bool Protect(HANDLE folder, const std::wstring& path, PSECURITY_DESCRIPTOR descriptor) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    PSID owner = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
    constexpr SECURITY_INFORMATION kParts =
        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    const DWORD error = SetSecurityInfo(folder, SE_FILE_OBJECT, kParts, owner, nullptr, dacl, nullptr);
    if (error != ERROR_SUCCESS) {
        LogError(L"Failed to protect folder [%s] error [%lu]", path.c_str(), error);
        return false;
    }
    LogVerbose(L"Protected folder [%s]", path.c_str());
    return true;
}

}  // namespace

FolderSecuring SecureFolder(const std::wstring& path) {
    const Base::UniqueLocalMemory descriptor = ProtectedDescriptor();
    if (!descriptor) return FolderSecuring::Failed;
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.Get(), FALSE};
    const DWORD creation = CreateDirectoryW(path.c_str(), &attributes) ? ERROR_SUCCESS : GetLastError();
    if (creation != ERROR_SUCCESS && creation != ERROR_ALREADY_EXISTS) {
        LogError(L"Failed to create directory: [%s], with error: [%lu]", path.c_str(), creation);
        return FolderSecuring::Failed;
    }
    // LocalSystem holds both: they let it open and take over a folder whatever
    // its owner and DACL allow.
    const Base::ThreadPrivileges privileges({SE_TAKE_OWNERSHIP_NAME, SE_RESTORE_NAME});
    const Base::UniqueFileHandle folder(CreateFileW(
        path.c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    if (!folder || !GetFileInformationByHandle(folder.Get(), &information)) {
        LogError(L"Failed to open folder [%s] error [%lu]", path.c_str(), GetLastError());
        return FolderSecuring::Failed;
    }
    const DWORD kind = information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
    if (kind != FILE_ATTRIBUTE_DIRECTORY) {
        LogError(L"Folder [%s] is not a plain folder; refusing to use it", path.c_str());
        return FolderSecuring::Failed;
    }
    bool trustworthy = false;
    try {
        trustworthy = IsTrustworthy(folder.Get(), path);
    } catch (const Base::Exception& e) {
        LogError(L"Failed to judge folder [%s] error [%S]", path.c_str(), e.what());
        return FolderSecuring::Failed;
    }
    if (!trustworthy) {
        LogWarning(L"Folder [%s] had another owner or let other accounts change it; taking it over", path.c_str());
    }
    if (!Protect(folder.Get(), path, descriptor.Get())) return FolderSecuring::Failed;
    return trustworthy ? FolderSecuring::Secured : FolderSecuring::TakenOver;
}

void EmptyFolder(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    const Base::UniqueFindHandle find(FindFirstFileW((path + L"\\*").c_str(), &entry));
    for (bool more = find.IsValid(); more; more = FindNextFileW(find.Get(), &entry) != FALSE) {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring item = path + L"\\" + name;
        const DWORD attributes = entry.dwFileAttributes;
        const bool isLink = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (!isLink && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
            SetFileAttributesW(item.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        }
        bool removed = false;
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            if (!isLink) EmptyFolder(item);
            removed = RemoveDirectoryW(item.c_str()) != FALSE;
        } else {
            removed = DeleteFileW(item.c_str()) != FALSE;
        }
        if (!removed) LogWarning(L"Failed to remove [%s] error [%lu]", item.c_str(), GetLastError());
    }
}

bool IsReparsePoint(const std::wstring& path) {
    std::wstring entry = path;
    // With a trailing backslash the attributes are those of the target.
    while (entry.size() > 3 && entry.back() == L'\\') entry.pop_back();
    const DWORD attributes = GetFileAttributesW(entry.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}
