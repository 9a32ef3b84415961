#include "autoupdate/protected_folder.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "base/log.h"
#include "base/unique_any.h"

namespace {

// Full control for SYSTEM and Administrators, read and execute for Users,
// inherited by everything below; "P" stops inheritance from the parent.
const wchar_t kProtectedFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

Base::UniqueLocalMemory ProtectedDescriptor() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedFolderSddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        LogError(L"Failed to build the protected folder security descriptor error [%lu]", GetLastError());
    }
    return Base::UniqueLocalMemory(descriptor);
}

}  // namespace

FolderCreation CreateProtectedFolder(const std::wstring& path) {
    const Base::UniqueLocalMemory descriptor = ProtectedDescriptor();
    if (!descriptor) return FolderCreation::Failed;
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.Get(), FALSE};
    if (CreateDirectoryW(path.c_str(), &attributes)) {
        LogVerbose(L"Created protected folder [%s]", path.c_str());
        return FolderCreation::Created;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS) return FolderCreation::Existed;
    LogError(L"Failed to create directory: [%s], with error: [%lu]", path.c_str(), error);
    return FolderCreation::Failed;
}

bool ProtectFolder(const std::wstring& path) {
    const Base::UniqueLocalMemory descriptor = ProtectedDescriptor();
    if (!descriptor) return false;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(descriptor.Get(), &present, &dacl, &defaulted);
    // SetNamedSecurityInfoW takes a writable path.
    std::wstring writable = path;
    const DWORD error = SetNamedSecurityInfoW(&writable[0], SE_FILE_OBJECT,
                                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                              nullptr, nullptr, dacl, nullptr);
    if (error != ERROR_SUCCESS) {
        LogError(L"Failed to protect folder [%s] error [%lu]", path.c_str(), error);
        return false;
    }
    LogVerbose(L"Protected folder [%s]", path.c_str());
    return true;
}

bool IsReparsePoint(const std::wstring& path) {
    std::wstring entry = path;
    // With a trailing backslash the attributes are those of the target.
    while (entry.size() > 3 && entry.back() == L'\\') entry.pop_back();
    const DWORD attributes = GetFileAttributesW(entry.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}
