#include "base/file_info.h"

#include <windows.h>

#include <sstream>

#include "base/exception.h"
#include "base/log.h"

namespace Base {
namespace {

constexpr int64_t kUnixEpochInFileTime = 116444736000000000LL;
constexpr int64_t kTicksPerMillisecond = 10000;

[[noreturn]] void ThrowFileInfoError(const std::wstring& path, DWORD error) {
    LogError(L"Failed to determine file info for path [%s] error [%lu]", path.c_str(), error);
    throw ExceptionWin32(error);
}

// True when the attributes were read; false for "not found"; throws otherwise.
bool ReadAttributes(const std::wstring& path, WIN32_FILE_ATTRIBUTE_DATA& data) {
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return false;
    ThrowFileInfoError(path, error);
}

}  // namespace

FileInfo GetFileInfo(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        ThrowFileInfoError(path, GetLastError());
    }
    const std::vector<std::wstring> parts = SplitPath(path);
    const int64_t fileTime =
        static_cast<int64_t>((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                             data.ftLastWriteTime.dwLowDateTime);
    FileInfo info;
    info.name = parts.empty() ? path : parts.back();
    info.lastWriteTime = (fileTime - kUnixEpochInFileTime) / kTicksPerMillisecond * kTicksPerMillisecond;
    info.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    info.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    info.isHidden = (data.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) != 0;
    info.isSystem = (data.dwFileAttributes & FILE_ATTRIBUTE_SYSTEM) != 0;
    info.isOffline = (data.dwFileAttributes & FILE_ATTRIBUTE_OFFLINE) != 0;
    info.isReparsePoint = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    return info;
}

bool FileExists(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return ReadAttributes(path, data) && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DirectoryExists(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return ReadAttributes(path, data) && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name) {
    std::wstring joined;
    joined.reserve(folder.size() + 1 + name.size());
    joined.append(folder).append(1, L'\\').append(name);
    std::wstring collapsed;
    collapsed.reserve(joined.size());
    for (wchar_t c : joined) {
        // The second of a leading pair stays: a share, or a "\\?\" path.
        if (c == L'\\' && collapsed.size() > 1 && collapsed.back() == L'\\') continue;
        collapsed.push_back(c);
    }
    return collapsed;
}

std::vector<std::wstring> SplitPath(const std::wstring& path) {
    std::vector<std::wstring> parts;
    std::wistringstream stream(path);
    std::wstring piece;
    while (std::getline(stream, piece, L'\\')) {
        if (!piece.empty()) parts.push_back(piece);
    }
    return parts;
}

std::wstring SystemFolderPath(const std::wstring& name) {
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        const DWORD error = GetLastError();
        LogError(L"GetSystemDirectory failed with result [%u] error [%lu]", length, error);
        throw ExceptionWin32(error);
    }
    return JoinPath(folder, name);
}

}  // namespace Base
