#include "support/trusted_root.h"

#include <windows.h>
#include <wincrypt.h>

#include <fstream>
#include <sstream>

namespace Testing {
namespace {

HCERTSTORE OpenMachineRoot() {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
}

std::string PemToDer(const std::wstring& pemPath) {
    std::ifstream file(pemPath.c_str());
    std::stringstream text;
    text << file.rdbuf();
    const std::string pem = text.str();
    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size,
                              nullptr, nullptr)) {
        return {};
    }
    std::string der(size, '\0');
    CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                         reinterpret_cast<BYTE*>(&der[0]), &size, nullptr, nullptr);
    return der;
}

}  // namespace

TrustedRootCertificate::TrustedRootCertificate(const std::wstring& pemPath) : der(PemToDer(pemPath)) {
    HCERTSTORE store = OpenMachineRoot();
    if (store == nullptr || der.empty()) return;
    added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                             static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                             nullptr) != FALSE;
    CertCloseStore(store, 0);
}

TrustedRootCertificate::~TrustedRootCertificate() {
    if (!added) return;
    HCERTSTORE store = OpenMachineRoot();
    if (store == nullptr) return;
    PCCERT_CONTEXT certificate = CertCreateCertificateContext(
        X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()));
    if (certificate != nullptr) {
        // Deleting frees the found context.
        PCCERT_CONTEXT stored =
            CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, certificate, nullptr);
        if (stored != nullptr) CertDeleteCertificateFromStore(stored);
        CertFreeCertificateContext(certificate);
    }
    CertCloseStore(store, 0);
}

}  // namespace Testing
