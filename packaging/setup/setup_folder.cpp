#include "setup_folder.h"

#include <knownfolders.h>
#include <shlobj.h>

#include "base/unique_any.h"

SetupFolder::SetupFolder() {
    Base::UniqueCoTaskMemory<wchar_t> programFiles;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_ProgramFiles, 0, nullptr, programFiles.Put()))) return;
    parent = std::wstring(programFiles.Get()) + L"\\Veltrastone";
    path = parent + L"\\Setup";
}

DWORD SetupFolder::Create() const {
    if (path.empty()) return ERROR_PATH_NOT_FOUND;
    for (const std::wstring& folder : {parent, path}) {
        if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return GetLastError();
    }
    return ERROR_SUCCESS;
}

DWORD SetupFolder::KeepCopyOfSelf() const {
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length == MAX_PATH) return ERROR_BAD_PATHNAME;
    if (_wcsicmp(self, KeptCopy().c_str()) == 0) return ERROR_SUCCESS;
    return CopyFileW(self, KeptCopy().c_str(), FALSE) ? ERROR_SUCCESS : GetLastError();
}

void SetupFolder::RemoveKeptCopy() const {
    if (path.empty()) return;
    const std::wstring kept = KeptCopy();
    if (!DeleteFileW(kept.c_str()) && GetLastError() == ERROR_ACCESS_DENIED) {
        const std::wstring aside = kept + L"." + std::to_wstring(GetCurrentProcessId()) + L".removed";
        if (MoveFileExW(kept.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            MoveFileExW(aside.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        }
    }
    // Either goes now or, when the copy is still there, at the next restart
    // if nothing else is left in it by then.
    for (const std::wstring& folder : {path, parent}) {
        if (!RemoveDirectoryW(folder.c_str()) && GetLastError() == ERROR_DIR_NOT_EMPTY) {
            MoveFileExW(folder.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        }
    }
}
