#include "autoupdate/download_validation.h"

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/sha.h>

#include "base/exception.h"
#include "base/log.h"
#include "base/text.h"

// Hash and signature checks are not part of this build: nothing passes.
void ValidateDownload(const std::wstring&, const std::wstring&) {
    throw AutoUpdateException("Download validation is not available in this build");
}

std::wstring Sha256OfText(const std::wstring& text) {
    LogEnter(nullptr);
    LogInfo(L"Computing Sha256 hash for text: [%s]", text.c_str());
    const std::string bytes = ToNarrow(text);
    std::string hex;
    CryptoPP::SHA256 sha;
    CryptoPP::StringSource source(
        bytes, true,
        new CryptoPP::HashFilter(sha, new CryptoPP::HexEncoder(new CryptoPP::StringSink(hex), true, 0, "")));
    const std::wstring result = ToWide(hex);
    LogInfo(L"Sha256 hash: [%s]", result.c_str());
    LogExit(nullptr);
    return result;
}

std::string Base64Encode(const void* data, size_t length) {
    std::string text;
    try {
        CryptoPP::StringSource source(static_cast<const CryptoPP::byte*>(data), length, true,
                                      new CryptoPP::Base64Encoder(new CryptoPP::StringSink(text), true, 72));
    } catch (const CryptoPP::Exception& e) {
        LogError(L"Crypto++ reported error [%S] base64 encoding [%lu] bytes", e.what(),
                 static_cast<unsigned long>(length));
        throw Base::Exception(e.what());
    }
    return text;
}
