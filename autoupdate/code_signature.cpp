#include "autoupdate/code_signature.h"

#include <softpub.h>
#include <wincrypt.h>

#include <algorithm>
#include <locale>

#include "base/log.h"
#include "base/unique_any.h"

namespace {

GUID AuthenticodePolicy() { return WINTRUST_ACTION_GENERIC_VERIFY_V2; }

bool ReadSimpleDisplayName(PCCERT_CONTEXT certificate, std::wstring& name) {
    const DWORD length = CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (length == 0) {
        LogError(L"CertGetNameString failed with %x.", GetLastError());
        return false;
    }
    Base::UniqueLocalMemory buffer(LocalAlloc(LPTR, length * sizeof(wchar_t)));
    if (!buffer) {
        LogError(L"Unable to allocate memory for subject name.");
        return false;
    }
    auto* text = static_cast<wchar_t*>(buffer.Get());
    if (CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, text, length) == 0) {
        LogError(L"CertGetNameString failed with %x", GetLastError());
        return false;
    }
    name = text;
    return true;
}

bool ContainsIgnoringCase(const std::wstring& text, const std::wstring& part) {
    const auto& folding = std::use_facet<std::ctype<wchar_t>>(std::locale());
    const auto same = [&folding](wchar_t a, wchar_t b) { return folding.toupper(a) == folding.toupper(b); };
    return std::search(text.begin(), text.end(), part.begin(), part.end(), same) != text.end();
}

}  // namespace

FileTrust::FileTrust(const std::wstring& filePath, HANDLE file) : path(filePath) {
    LogEnter(nullptr);
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path.c_str();
    fileInfo.hFile = file;
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = AuthenticodePolicy();
    result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    if (result == 0) {
        LogInfo(L"File:[%s] passed WinVerifyTrustChecks", path.c_str());
    } else {
        LogError(L"File:[%s] failed WinVerifyTrustChecks, error: [%d]", path.c_str(), static_cast<int>(result));
    }
    LogExit(nullptr);
}

FileTrust::~FileTrust() {
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    GUID action = AuthenticodePolicy();
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
}

bool FileTrust::GetSignerSubjectName(std::wstring& subjectName) const {
    LogEnter(nullptr);
    bool found = false;
    CRYPT_PROVIDER_DATA* provider = IsTrusted() ? WTHelperProvDataFromStateData(data.hWVTStateData) : nullptr;
    CRYPT_PROVIDER_SGNR* signer = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    CRYPT_PROVIDER_CERT* certificate = signer ? WTHelperGetProvCertFromChain(signer, 0) : nullptr;
    if (certificate == nullptr || certificate->pCert == nullptr) {
        LogError(L"No signer certificate in the verified signature of [%s]", path.c_str());
    } else if (ReadSimpleDisplayName(certificate->pCert, subjectName)) {
        LogInfo(L"Certificate Subject Name: [%s]", subjectName.c_str());
        found = true;
    }
    LogExit(nullptr);
    return found;
}

bool FileTrust::HasCompanyTag(const std::wstring& company) const {
    LogEnter(nullptr);
    bool tagged = false;
    std::wstring subjectName;
    if (!GetSignerSubjectName(subjectName)) {
        LogError(L"Failed to obtain certificate name.");
    } else {
        LogInfo(L"Obtained certificate subject name: [%s]", subjectName.c_str());
        tagged = ContainsIgnoringCase(subjectName, company);
    }
    LogInfo(L"HasCompanyTag returning: [%d]", tagged ? 1 : 0);
    LogExit(nullptr);
    return tagged;
}

bool VerifyFileTrust(const std::wstring& filePath) { return FileTrust(filePath).IsTrusted(); }
