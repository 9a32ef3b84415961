#pragma once
// A self-made certificate trusted as a root by this machine (the local
// machine's Root store, which Wine's chain engine reads) for one test, and
// taken out again afterwards.

#include <windows.h>
#include <wincrypt.h>

#include <fstream>
#include <iterator>
#include <string>

namespace Testing {

class TrustedRootCertificate {
public:
    explicit TrustedRootCertificate(const std::wstring& pemPath) {
        std::ifstream file(pemPath.c_str());
        const std::string pem{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        DWORD size = static_cast<DWORD>(pem.size());
        std::string der(size, '\0');
        if (!CryptStringToBinaryA(pem.c_str(), size, CRYPT_STRING_BASE64HEADER, reinterpret_cast<BYTE*>(&der[0]),
                                  &size, nullptr, nullptr)) {
            return;
        }
        certificate = CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), size);
        HCERTSTORE store = OpenRoot();
        added = store && certificate &&
                CertAddCertificateContextToStore(store, certificate, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
        if (store) CertCloseStore(store, 0);
    }
    ~TrustedRootCertificate() {
        if (HCERTSTORE store = added ? OpenRoot() : nullptr) {
            // Deleting frees the found context.
            if (PCCERT_CONTEXT stored = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING,
                                                                   certificate, nullptr)) {
                CertDeleteCertificateFromStore(stored);
            }
            CertCloseStore(store, 0);
        }
        if (certificate) CertFreeCertificateContext(certificate);
    }
    TrustedRootCertificate(const TrustedRootCertificate&) = delete;
    TrustedRootCertificate& operator=(const TrustedRootCertificate&) = delete;

    bool Added() const { return added; }

private:
    static HCERTSTORE OpenRoot() {
        return CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    }

    PCCERT_CONTEXT certificate = nullptr;
    bool added = false;
};

}  // namespace Testing
