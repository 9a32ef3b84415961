#pragma once
// Owners of crypt32's certificate and certificate store handles.

#include <windows.h>
#include <wincrypt.h>

#include "base/unique_any.h"

namespace Base {

inline void CloseCertStore(HCERTSTORE store) { CertCloseStore(store, 0); }

using UniqueCertStore = UniqueAny<NullHandleTraits<HCERTSTORE, CloseCertStore>>;
using UniqueCertContext = UniqueAny<NullHandleTraits<PCCERT_CONTEXT, CertFreeCertificateContext>>;

}  // namespace Base
