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

// The product keys a save of `count` products writes: "0" to count - 1 in order.
bool AreCountedProducts(const std::vector<std::wstring>& sortedNames, DWORD count) {
    if (sortedNames.size() != count) return false;
    for (size_t index = 0; index < sortedNames.size(); ++index) {
        if (sortedNames[index] != std::to_wstring(index)) return false;
    }
    return true;
}

// The work is bounded by the keys stored, never by "Count": a tampered count
// is a mismatch of the class, not a loop over numbers nobody wrote.
void CheckProvider(RegistryKey& classes, const std::wstring& className, const std::wstring& classPath,
                   std::vector<CacheKeyCheck>& checks) {
    const Base::Ref<RegistryKey> providerKey = classes.OpenSubKey(className, kReadAccess);
    std::vector<std::wstring> names = providerKey->SubKeyNames();
    std::sort(names.begin(), names.end(), ProductOrder);
    checks.push_back(Check(classPath, [&] {
        const DWORD count = DwordValue(*providerKey, L"Count");
        const std::wstring nowText = StringValue(*providerKey, L"Timestamp");
        const std::wstring stored = StringValue(*providerKey, L"Verify");
        if (ComputeProviderVerify(*providerKey, count, nowText) != stored) return false;
        if (AreCountedProducts(names, count)) return true;
        throw Base::Exception("\"Count\" " + std::to_string(count) + " does not match the " +
                              std::to_string(names.size()) + " product keys stored");
    }));
    for (const std::wstring& name : names) {
        checks.push_back(Check(classPath + L"\\" + name, [&] {
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
