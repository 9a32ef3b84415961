#pragma once
// Owners of the certificate and cryptographic message handles of crypt32.

#include <windows.h>
#include <wincrypt.h>

#include "base/unique_any.h"

namespace Base {

inline void CloseCertStore(HCERTSTORE store) { CertCloseStore(store, 0); }

using UniqueCertStore = UniqueAny<NullHandleTraits<HCERTSTORE, CloseCertStore>>;
using UniqueCryptMsg = UniqueAny<NullHandleTraits<HCRYPTMSG, CryptMsgClose>>;
using UniqueCertContext = UniqueAny<NullHandleTraits<PCCERT_CONTEXT, CertFreeCertificateContext>>;

}  // namespace Base
