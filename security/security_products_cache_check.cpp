#include "security/security_products_cache_check.h"

#include <windows.h>

#include <algorithm>
#include <cwctype>

#include "base/exception.h"
#include "base/text.h"
#include "security/security_products_cache.h"

namespace {

constexpr REGSAM kReadAccess = KEY_READ | KEY_WOW64_64KEY;

[[noreturn]] void ThrowMissing(const wchar_t* name) {
    throw Base::Exception("value \"" + ToNarrow(name) + "\" missing");
}

std::wstring StringValue(RegistryKey& key, const wchar_t* name) {
    std::wstring value;
    if (!key.QueryString(name, value)) ThrowMissing(name);
    return value;
}

DWORD DwordValue(RegistryKey& key, const wchar_t* name) {
    DWORD value = 0;
    if (!key.QueryDword(name, value)) ThrowMissing(name);
    return value;
}

// Runs one key's check; a failure to read counts as disagreement.
template <typename Recompute>
CacheKeyCheck Check(const std::wstring& path, Recompute recompute) {
    try {
        if (recompute()) return {path, true, L""};
        return {path, false, L"\"Verify\" differs"};
    } catch (const Base::Exception& e) {
        return {path, false, ToWide(e.what())};
    }
}

bool IsIndex(const std::wstring& name) {
    return !name.empty() && name.size() < 10 && std::all_of(name.begin(), name.end(), iswdigit);
}

// Indices in numeric order, other names after them.
bool ProductOrder(const std::wstring& a, const std::wstring& b) {
    if (IsIndex(a) != IsIndex(b)) return IsIndex(a);
    if (IsIndex(a)) return std::stoul(a) < std::stoul(b);
    return a < b;
}

void CheckProvider(RegistryKey& classes, const std::wstring& className, const std::wstring& classPath,
                   std::vector<CacheKeyCheck>& checks) {
    const Base::Ref<RegistryKey> providerKey = classes.OpenSubKey(className, kReadAccess);
    DWORD count = 0;
    checks.push_back(Check(classPath, [&] {
        count = DwordValue(*providerKey, L"Count");
        const std::wstring nowText = StringValue(*providerKey, L"Timestamp");
        const std::wstring stored = StringValue(*providerKey, L"Verify");
        return ComputeProviderVerify(*providerKey, count, nowText) == stored;
    }));
    std::vector<std::wstring> names = providerKey->SubKeyNames();
    for (DWORD index = 0; index < count; ++index) {
        if (std::find(names.begin(), names.end(), std::to_wstring(index)) == names.end()) {
            names.push_back(std::to_wstring(index));
        }
    }
    std::sort(names.begin(), names.end(), ProductOrder);
    for (const std::wstring& name : names) {
        checks.push_back(Check(classPath + L"\\" + name, [&] {
            if (!providerKey->SubKeyExists(name, kReadAccess)) throw Base::Exception("counted, but missing");
            const Base::Ref<RegistryKey> productKey = providerKey->OpenSubKey(name, kReadAccess);
            SecurityProduct product;
            product.name = StringValue(*productKey, L"Name");
            product.status = DwordValue(*productKey, L"Status");
            product.timestamp = StringValue(*productKey, L"StatusTimestamp");
            const std::wstring nowText = StringValue(*productKey, L"Timestamp");
            const std::wstring stored = StringValue(*productKey, L"Verify");
            return ComputeProductVerify(*productKey, product, nowText) == stored;
        }));
    }
}

}  // namespace

std::vector<CacheKeyCheck> CheckSecurityProductsCache() {
    const std::wstring classesPath = std::wstring(kCacheRootKey) + L"\\" + kSecurityProductsKey;
    const Base::Ref<RegistryKey> machine = RegistryKey::Root(HKEY_LOCAL_MACHINE);
    std::vector<CacheKeyCheck> checks;
    if (!machine->SubKeyExists(classesPath, kReadAccess)) return checks;
    const Base::Ref<RegistryKey> classes = machine->OpenSubKey(classesPath, kReadAccess);
    for (const std::wstring& className : classes->SubKeyNames()) {
        CheckProvider(*classes, className, classesPath + L"\\" + className, checks);
    }
    return checks;
}
