#pragma once
// A self-made certificate trusted as a root of this machine: a test certificate
// authority for local HTTPS servers, or a code-signing certificate for signed
// fixtures. Both go into the local machine's Root store, the one store that
// serves both Wine's WinHTTP and its WinVerifyTrust (whose chain check
// accepts no other). Wine reads the store once per process, at its first
// certificate check: trust a root before the process that needs it checks.
//
// Several tests may trust the same certificate at once (every signed fixture
// shares one signer), so each holder keeps a named event of the certificate
// open and the last holder to leave removes it; one named mutex orders
// holders coming and going. Header only: the kxtrustca fixture uses it too.

#include <windows.h>
#include <wincrypt.h>

#include <fstream>
#include <iomanip>
#include <iterator>
#include <sstream>
#include <string>

#include "base/crypt_handles.h"
#include "base/unique_any.h"

namespace Testing {

// A certificate file, PEM or DER; empty when it cannot be read.
inline Base::UniqueCertContext ReadCertificate(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    DWORD size = static_cast<DWORD>(bytes.size());
    std::string der(size, '\0');
    const bool decoded = CryptStringToBinaryA(bytes.data(), size, CRYPT_STRING_ANY, reinterpret_cast<BYTE*>(&der[0]),
                                              &size, nullptr, nullptr);
    return Base::UniqueCertContext(
        decoded ? CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), size)
                : nullptr);
}

// Adds the certificate to the local machine's Root store, or removes it (a
// certificate that is not there counts as removed); true when done.
inline bool ChangeTrustedRoot(PCCERT_CONTEXT certificate, bool add) {
    // The registry store itself: a deletion from Wine's system store, a
    // collection, does not reach the registry.
    const Base::UniqueCertStore store(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
    if (!store) return false;
    // Removing adds it first: that yields the stored context, which deleting frees.
    PCCERT_CONTEXT stored = nullptr;
    bool done = CertAddCertificateContextToStore(store.Get(), certificate, CERT_STORE_ADD_REPLACE_EXISTING,
                                                 add ? nullptr : &stored);
    if (!add) done = done && CertDeleteCertificateFromStore(stored);
    return done;
}

inline void ReleaseAndCloseMutex(HANDLE mutex) {
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}
// A named mutex this thread owns until the holder goes.
using UniqueOwnedMutex = Base::UniqueAny<Base::NullHandleTraits<HANDLE, ReleaseAndCloseMutex>>;

// Trusted for the lifetime of the object.
class TrustedRootCertificate {
public:
    explicit TrustedRootCertificate(const std::wstring& path) : certificate(ReadCertificate(path)) {
        const UniqueOwnedMutex turn = TakeTurn();
        if (!certificate || !turn) return;
        holder.Reset(CreateEventW(nullptr, TRUE, FALSE, HolderName().c_str()));
        added = holder && ChangeTrustedRoot(certificate.Get(), true);
    }
    ~TrustedRootCertificate() {
        const UniqueOwnedMutex turn = TakeTurn();
        if (!added || !turn) return;
        holder.Reset();
        if (!Base::UniqueHandle(OpenEventW(SYNCHRONIZE, FALSE, HolderName().c_str()))) {
            ChangeTrustedRoot(certificate.Get(), false);
        }
    }

    bool Added() const { return added; }

private:
    static UniqueOwnedMutex TakeTurn() {
        Base::UniqueHandle mutex(CreateMutexW(nullptr, FALSE, L"kx-trusted-roots"));
        const DWORD result = WaitForSingleObject(mutex.Get(), 60000);
        return UniqueOwnedMutex(result == WAIT_OBJECT_0 || result == WAIT_ABANDONED ? mutex.Release() : nullptr);
    }

    // Named after the certificate's SHA-1 thumbprint.
    std::wstring HolderName() const {
        BYTE thumbprint[20] = {};
        DWORD size = sizeof(thumbprint);
        CertGetCertificateContextProperty(certificate.Get(), CERT_SHA1_HASH_PROP_ID, thumbprint, &size);
        std::wostringstream name;
        name << L"kx-trusted-root-" << std::hex << std::uppercase << std::setfill(L'0');
        for (DWORD i = 0; i < size; ++i) name << std::setw(2) << static_cast<int>(thumbprint[i]);
        return name.str();
    }

    Base::UniqueCertContext certificate;
    Base::UniqueHandle holder;
    bool added = false;
};

}  // namespace Testing
