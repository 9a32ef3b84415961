#pragma once
// Checks the security products cache as a reader would: every key's "Verify"
// is recomputed from the values stored beside it and the key's own path, and
// must equal the stored text, line feed included. A key that lacks a value
// does not verify, nor does a class whose product keys are not exactly "0" to
// "Count" - 1.

#include <string>
#include <vector>

struct CacheKeyCheck {
    std::wstring key;     // below HKEY_LOCAL_MACHINE
    bool verified;
    std::wstring reason;  // why not, empty when verified
};

// Classes in the registry's order, each followed by its products by index.
// Empty when there is no cache. Throws Base::Exception when the cache exists
// but cannot be read.
std::vector<CacheKeyCheck> CheckSecurityProductsCache();
