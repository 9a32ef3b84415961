#include "support/scratch.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "base/unique_any.h"

namespace Testing {

std::wstring UniqueTempPath(const wchar_t* prefix) {
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + prefix + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(counter.fetch_add(1)) + L"-" + std::to_wstring(GetTickCount());
}

bool SetWriteTime(const std::wstring& path, uint64_t ticks) {
    const Base::UniqueFileHandle file(
        CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    const FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    return file && SetFileTime(file.Get(), nullptr, nullptr, &time);
}

ScratchFolder::ScratchFolder() : path(UniqueTempPath(L"kxtest-")) { CreateDirectoryW(path.c_str(), nullptr); }

ScratchFolder::~ScratchFolder() { RemoveTree(path); }

std::wstring ScratchFolder::WriteFile(const std::wstring& name, const std::string& bytes) const {
    const std::wstring file = File(name);
    const Base::UniqueFileHandle handle(
        CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    ::WriteFile(handle.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    return file;
}

StdoutCapture::StdoutCapture() : file(UniqueTempPath(L"kxstdout-")) {
    fflush(stdout);
    savedFd = _dup(_fileno(stdout));
    const int fd = _wopen(file.c_str(), _O_CREAT | _O_TRUNC | _O_WRONLY | _O_BINARY, 0600);
    _dup2(fd, _fileno(stdout));
    _close(fd);
}

StdoutCapture::~StdoutCapture() {
    fflush(stdout);
    _dup2(savedFd, _fileno(stdout));
    _close(savedFd);
    DeleteFileW(file.c_str());
}

std::string StdoutCapture::Text() {
    fflush(stdout);
    std::ifstream in(file.c_str(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace Testing
