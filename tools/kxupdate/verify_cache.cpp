#include "verify_cache.h"

#include <cstdio>
#include <string>

#include "base/exception.h"
#include "base/text.h"
#include "security/security_products_cache.h"
#include "security/security_products_cache_check.h"
#include "utf8_text.h"

namespace {

void PrintLine(const std::wstring& text) {
    const std::string utf8 = ToNarrowUtf8(text + L"\n");
    fwrite(utf8.data(), 1, utf8.size(), stdout);
}

}  // namespace

int VerifyCache() {
    const std::wstring cache = std::wstring(L"HKLM\\") + kCacheRootKey + L"\\" + kSecurityProductsKey;
    std::vector<CacheKeyCheck> checks;
    try {
        checks = CheckSecurityProductsCache();
    } catch (const Base::Exception& e) {
        PrintLine(L"cannot read " + cache + L": " + ToWide(e.what()));
        return 1;
    }
    if (checks.empty()) {
        PrintLine(L"no security products cache at " + cache);
        return 1;
    }
    bool allVerified = true;
    for (const CacheKeyCheck& check : checks) {
        allVerified = allVerified && check.verified;
        PrintLine((check.verified ? L"OK        HKLM\\" : L"MISMATCH  HKLM\\") + check.key +
                  (check.verified ? L"" : L"  (" + check.reason + L")"));
    }
    fflush(stdout);
    return allVerified ? 0 : 1;
}
