#pragma once
// Stateless file and path helpers. Only "not found" (errors 2 and 3) is an
// ordinary outcome, and only for FileExists and DirectoryExists; every other
// failure is logged and thrown as Base::ExceptionWin32.

#include <cstdint>
#include <string>
#include <vector>

namespace Base {

struct FileInfo {
    std::wstring name;      // last path component
    int64_t lastWriteTime;  // 100 ns ticks since 1970 UTC, cut to whole milliseconds
    uint64_t size;
    bool isDirectory;
    bool isHidden;
    bool isSystem;
    bool isOffline;
    bool isReparsePoint;
};

FileInfo GetFileInfo(const std::wstring& path);
bool FileExists(const std::wstring& path);
bool DirectoryExists(const std::wstring& path);

// folder + "\" + name, with every run of backslashes collapsed to one but a
// leading double backslash (a share, or a "\\?\" path).
std::wstring JoinPath(const std::wstring& folder, const std::wstring& name);
// The non-empty components between backslashes.
std::vector<std::wstring> SplitPath(const std::wstring& path);
// The full path of a file in the system folder: programs and libraries of the
// system are never looked up by name, which searches the caller's own folder
// and the current folder first.
std::wstring SystemFolderPath(const std::wstring& name);

}  // namespace Base

using Base::DirectoryExists;
using Base::FileExists;
using Base::FileInfo;
using Base::GetFileInfo;
using Base::JoinPath;
using Base::SplitPath;
using Base::SystemFolderPath;
