#include "security/security_products_cache.h"

#include "base/log.h"

// The Security Center cache is not part of this build yet.
void SaveSecurityProducts(int64_t) {
    LogVerbose(L"Security products cache is not available; nothing saved");
}
