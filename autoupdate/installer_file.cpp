#include "autoupdate/installer_file.h"

#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/sha.h>

#include <vector>

#include "base/exception.h"

namespace {
[[noreturn]] void ThrowReadFailure() {
    throw AutoUpdateException("Failed to read the download", static_cast<int32_t>(GetLastError()));
}
}  // namespace

InstallerFile::InstallerFile(std::wstring path)
    : path(std::move(path)),
      file(CreateFileW(this->path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr)) {
    if (!file) throw AutoUpdateException("Failed to open the download", static_cast<int32_t>(GetLastError()));
}

std::string InstallerFile::Sha256Hex() const {
    std::string hex;
    CryptoPP::SHA256 sha;
    CryptoPP::HashFilter filter(sha, new CryptoPP::HexEncoder(new CryptoPP::StringSink(hex), true, 0, ""));
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file.Get(), start, nullptr, FILE_BEGIN)) ThrowReadFailure();
    std::vector<CryptoPP::byte> chunk(1 << 20);
    DWORD read = 0;
    do {
        if (!ReadFile(file.Get(), chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr)) {
            ThrowReadFailure();
        }
        filter.Put(chunk.data(), read);
    } while (read != 0);
    filter.MessageEnd();
    return hex;
}

void InstallerFile::Discard() {
    Release();
    DeleteFileW(path.c_str());
}
