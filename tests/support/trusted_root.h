#pragma once
// A self-made certificate trusted as a root by this machine: the local
// machine's Root store, which Wine's chain engine reads. Header only, so the
// fixture tool that trusts the demonstration's certificate uses it too.

#include <windows.h>
#include <wincrypt.h>

#include <fstream>
#include <iterator>
#include <string>

namespace Testing {

// Adds (or with add false, removes) the PEM certificate; true when done.
inline bool ChangeTrustedRoot(const std::wstring& pemPath, bool add) {
    std::ifstream file(pemPath.c_str());
    const std::string pem{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    DWORD size = static_cast<DWORD>(pem.size());
    std::string der(size, '\0');
    if (!CryptStringToBinaryA(pem.c_str(), size, CRYPT_STRING_BASE64HEADER, reinterpret_cast<BYTE*>(&der[0]), &size,
                              nullptr, nullptr)) {
        return false;
    }
    PCCERT_CONTEXT certificate =
        CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), size);
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    bool done = false;
    if (store && certificate && add) {
        done = CertAddCertificateContextToStore(store, certificate, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    } else if (store && certificate) {
        // Deleting frees the found context.
        PCCERT_CONTEXT stored =
            CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, certificate, nullptr);
        done = stored && CertDeleteCertificateFromStore(stored);
    }
    if (store) CertCloseStore(store, 0);
    if (certificate) CertFreeCertificateContext(certificate);
    return done;
}

// Trusted for the lifetime of the object.
class TrustedRootCertificate {
public:
    explicit TrustedRootCertificate(const std::wstring& pemPath)
        : pemPath(pemPath), added(ChangeTrustedRoot(pemPath, true)) {}
    ~TrustedRootCertificate() {
        if (added) ChangeTrustedRoot(pemPath, false);
    }
    TrustedRootCertificate(const TrustedRootCertificate&) = delete;
    TrustedRootCertificate& operator=(const TrustedRootCertificate&) = delete;

    bool Added() const { return added; }

private:
    std::wstring pemPath;
    bool added;
};

}  // namespace Testing
