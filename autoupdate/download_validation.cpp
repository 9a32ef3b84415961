#include "autoupdate/download_validation.h"

#include <windows.h>

#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/sha.h>

#include <cstdio>
#include <cstring>

#include "autoupdate/code_signature.h"
#include "autoupdate/url_parts.h"
#include "base/exception.h"
#include "base/log.h"
#include "base/text.h"

const wchar_t kSignerCompany[] = L"Veltrastone";

namespace {

// The executable of this process is trusted; an unavailable path is not.
bool IsOwnExecutableTrusted() {
    wchar_t ownPath[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, ownPath, MAX_PATH);
    const bool trusted = length != 0 && length < MAX_PATH && VerifyFileTrust(ownPath);
    LogInfo(L"WinVerifyTrust on current process returned: [%d]", trusted ? 1 : 0);
    return trusted;
}

void CheckHash(const std::wstring& expectedHash, InstallerFile& installer) {
    if (expectedHash.empty()) {
        LogWarning(L"Unable to validate file integrity as no hash has been provided. Assuming all ok.");
        return;
    }
    std::wstring computed;
    if (Sha256OfFile(installer, expectedHash, computed)) return;
    LogError(L"Binary has failed Sha256 validation check. Deleting invalid file.");
    installer.Discard();
    char message[AutoUpdateException::kTextCapacity];
    snprintf(message, sizeof(message), "Binary failed Sha256 validation. Hash [%s] does not match computed hash [%s].",
             ToNarrow(expectedHash).c_str(), ToNarrow(computed).c_str());
    throw AutoUpdateException(message);
}

void CheckSignature(InstallerFile& installer) {
    if (!IsOwnExecutableTrusted()) {
        LogWarning(L"Skipping certificate checks on downloaded binary as update service is not signed.");
        return;
    }
    {
        const FileTrust trust(installer.Path(), installer.Handle());
        if (trust.IsTrusted() && trust.HasCompanyTag(kSignerCompany)) {
            LogInfo(L"Downloaded binary passed all certificate checks.");
            return;
        }
    }
    LogError(L"Downloaded binary failed certificate checks. Deleting invalid file.");
    installer.Discard();
    throw AutoUpdateException(
        "Binary failed certificate validation. Certificate missing or not issued from Veltrastone.");
}

}  // namespace

InstallerFile ValidateDownload(const std::wstring& expectedHash, const std::wstring& filePath) {
    LogEnter(nullptr);
    InstallerFile installer(filePath);
    CheckHash(expectedHash, installer);
    CheckSignature(installer);
    LogExit(nullptr);
    return installer;
}

bool Sha256OfFile(const std::wstring& filePath, const std::wstring& expectedHash, std::wstring& computedHash) {
    return Sha256OfFile(InstallerFile(filePath), expectedHash, computedHash);
}

bool Sha256OfFile(const InstallerFile& file, const std::wstring& expectedHash, std::wstring& computedHash) {
    LogEnter(nullptr);
    LogInfo(L"Computing Sha256 hash for file: [%s]", file.Path().c_str());
    const std::string expected = ToNarrow(expectedHash);
    const std::string hex = file.Sha256Hex();
    const bool isMatch = _stricmp(expected.c_str(), hex.c_str()) == 0;
    computedHash = ToWide(hex);
    LogInfo(L"Expected hash: [%s], computed hash: [%s].  Comparison IsMatch result is: [%s]", expectedHash.c_str(),
            computedHash.c_str(), isMatch ? L"TRUE" : L"FALSE");
    LogExit(nullptr);
    return isMatch;
}

std::wstring Sha256OfText(const std::wstring& text) {
    LogEnter(nullptr);
    LogInfo(L"Computing Sha256 hash for text: [%s]", WithoutPasswords(text).c_str());
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
