#include "autoupdate/download_file.h"

#include "base/log.h"

namespace {

// Without FILE_WRITE_DATA every write lands at the end of the file.
constexpr DWORD kAccess = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | DELETE | SYNCHRONIZE;

// FILE_FLAG_OPEN_REPARSE_POINT opens a link itself, never what it points to.
Base::UniqueFileHandle OpenEntry(const std::wstring& path, DWORD disposition) {
    return Base::UniqueFileHandle(CreateFileW(path.c_str(), kAccess, FILE_SHARE_READ, nullptr, disposition,
                                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Where the platform says a handle leads; empty when it cannot tell.
std::wstring FinalPath(HANDLE handle) {
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), 0);
    if (length >= path.size()) {
        path.resize(length);
        length = GetFinalPathNameByHandleW(handle, path.data(), length, 0);
    }
    path.resize(length < path.size() ? length : 0);
    return path;
}

}  // namespace

bool DownloadFile::OpenExisting() {
    handle = OpenEntry(path, OPEN_EXISTING);
    if (!handle) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
        LogError(L"Failed to open file: [%s] error [%lu]", path.c_str(), error);
        return false;
    }
    if (IsPlainFile()) return true;
    Close();
    LogWarning(L"Removing link in place of a download: [%s]", path.c_str());
    return RemoveLink();
}

// Windows shows a symbolic link opened as itself as a reparse point; Wine
// shows a host symbolic link as its target, so only the resolved path tells.
bool DownloadFile::IsPlainFile() const {
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(handle.Get(), &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || information.nNumberOfLinks != 1) {
        return false;
    }
    const size_t slash = path.rfind(L'\\');
    if (slash == std::wstring::npos) return false;
    const Base::UniqueFileHandle folder(CreateFileW(path.substr(0, slash).c_str(), FILE_READ_ATTRIBUTES,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const std::wstring expected = FinalPath(folder.Get()) + path.substr(slash);
    return CompareStringOrdinal(FinalPath(handle.Get()).c_str(), -1, expected.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// A fresh file renamed over the entry replaces the entry, never its target;
// deleting the entry by name would delete the target of a host symbolic link
// under Wine.
bool DownloadFile::RemoveLink() {
    wchar_t placeholder[MAX_PATH] = {};
    if (GetTempFileNameW(path.substr(0, path.rfind(L'\\')).c_str(), L"kx", 0, placeholder) == 0 ||
        !MoveFileExW(placeholder, path.c_str(), MOVEFILE_REPLACE_EXISTING) || !DeleteFileW(path.c_str())) {
        LogError(L"Failed to remove link: [%s] error [%lu]", path.c_str(), GetLastError());
        if (placeholder[0] != L'\0') DeleteFileW(placeholder);
        return false;
    }
    return true;
}

uint64_t DownloadFile::Size() const {
    LARGE_INTEGER size = {};
    if (!handle || !GetFileSizeEx(handle.Get(), &size)) return 0;
    return static_cast<uint64_t>(size.QuadPart);
}

bool DownloadFile::Append(const uint8_t* data, size_t size) {
    if (!handle) {
        // Whatever appeared under the name meanwhile is not written through.
        handle = OpenEntry(path, CREATE_NEW);
        if (!handle) {
            LogError(L"Failed to open file: [%s] for writing, error [%lu]", path.c_str(), GetLastError());
            return false;
        }
    }
    DWORD written = 0;
    if (!WriteFile(handle.Get(), data, static_cast<DWORD>(size), &written, nullptr) || written != size) {
        LogError(L"Failed to write [%llu] bytes to file: [%s], error [%lu]", static_cast<unsigned long long>(size),
                 path.c_str(), GetLastError());
        return false;
    }
    return true;
}

bool DownloadFile::Delete() {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    if (handle && !SetFileInformationByHandle(handle.Get(), FileDispositionInfo, &disposition, sizeof(disposition))) {
        LogError(L"Failed to delete file: [%s] error [%lu]", path.c_str(), GetLastError());
        return false;
    }
    Close();
    return true;
}
