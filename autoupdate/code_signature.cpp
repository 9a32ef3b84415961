#include "autoupdate/code_signature.h"

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <algorithm>
#include <locale>

#include "base/crypt_handles.h"
#include "base/log.h"
#include "base/unique_any.h"

namespace {

using Base::UniqueCertContext;
using Base::UniqueCertStore;
using Base::UniqueCryptMsg;

bool FindSigner(const wchar_t* filePath, UniqueCertStore& store, UniqueCryptMsg& message) {
    DWORD encoding = 0;
    DWORD contentType = 0;
    DWORD formatType = 0;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, filePath, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &contentType, &formatType, store.Put(),
                          message.Put(), nullptr)) {
        LogError(L"CryptQueryObject failed with %x.", GetLastError());
        return false;
    }
    return true;
}

// The signer information block of the message's first signer.
Base::UniqueLocalMemory ReadSignerInfo(HCRYPTMSG message) {
    DWORD size = 0;
    if (!CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size)) {
        LogError(L"CryptMsgGetParam failed with %x.", GetLastError());
        return {};
    }
    Base::UniqueLocalMemory block(LocalAlloc(LPTR, size));
    if (!block) {
        LogError(L"Unable to allocate memory for Signer Info.");
        return {};
    }
    if (!CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, block.Get(), &size)) {
        LogError(L"CryptMsgGetParam failed with %x.", GetLastError());
        return {};
    }
    return block;
}

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

bool VerifyFileTrust(const std::wstring& filePath) {
    LogEnter(nullptr);
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = filePath.c_str();
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_CHAIN_VERIFY;
    const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    if (result == 0) {
        LogInfo(L"File:[%s] passed WinVerifyTrustChecks", filePath.c_str());
    } else {
        LogError(L"File:[%s] failed WinVerifyTrustChecks, error: [%d]", filePath.c_str(), static_cast<int>(result));
    }
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    LogExit(nullptr);
    return result == 0;
}

bool GetSignerSubjectName(const std::wstring& filePath, std::wstring& subjectName) {
    LogEnter(nullptr);
    UniqueCertStore store;
    UniqueCryptMsg message;
    bool found = false;
    if (FindSigner(filePath.c_str(), store, message)) {
        const Base::UniqueLocalMemory signerBlock = ReadSignerInfo(message.Get());
        if (signerBlock) {
            const auto* signer = static_cast<const CMSG_SIGNER_INFO*>(signerBlock.Get());
            CERT_INFO certInfo{};
            certInfo.Issuer = signer->Issuer;
            certInfo.SerialNumber = signer->SerialNumber;
            const UniqueCertContext certificate(CertFindCertificateInStore(
                store.Get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT, &certInfo, nullptr));
            if (!certificate) {
                LogError(L"CertFindCertificateInStore failed with %x.", GetLastError());
            } else if (ReadSimpleDisplayName(certificate.Get(), subjectName)) {
                LogInfo(L"Certificate Subject Name: [%s]", subjectName.c_str());
                found = true;
            }
        }
    }
    LogExit(nullptr);
    return found;
}

bool HasCompanyTag(const std::wstring& filePath, const std::wstring& company) {
    LogEnter(nullptr);
    bool tagged = false;
    std::wstring subjectName;
    if (!GetSignerSubjectName(filePath, subjectName)) {
        LogError(L"Failed to obtain certificate name.");
    } else {
        LogInfo(L"Obtained certificate subject name: [%s]", subjectName.c_str());
        tagged = ContainsIgnoringCase(subjectName, company);
    }
    LogInfo(L"HasCompanyTag returning: [%d]", tagged ? 1 : 0);
    LogExit(nullptr);
    return tagged;
}
