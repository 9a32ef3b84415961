#include "autoupdate/download_file.h"

#include <sys/stat.h>
#include <windows.h>

#include <cerrno>

#include "base/log.h"

// Wide-character file functions throughout: a path converted to the console
// code page would lose every character that page lacks.

std::optional<uint64_t> DownloadFile::SizeOnDisk() const {
    struct _stat64 status = {};
    if (_wstat64(path.c_str(), &status) != 0) return std::nullopt;
    return static_cast<uint64_t>(status.st_size);
}

bool DownloadFile::Append(const uint8_t* data, size_t size) {
    if (!stream) {
        stream.Reset(_wfopen(path.c_str(), L"a+b"));
        if (!stream) {
            LogError(L"Failed to open file: [%s] for writing, errno [%d]", path.c_str(), errno);
            return false;
        }
    }
    const size_t written = fwrite(data, 1, size, stream.Get());
    if (written != size || fflush(stream.Get()) != 0) {
        LogError(L"Failed to write [%llu] bytes to file: [%s], errno [%d]", static_cast<unsigned long long>(size),
                 path.c_str(), errno);
        return false;
    }
    return true;
}

bool DownloadFile::Delete() {
    Close();
    if (DeleteFileW(path.c_str())) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return true;
    LogError(L"Failed to delete file: [%s] error [%lu]", path.c_str(), error);
    return false;
}
