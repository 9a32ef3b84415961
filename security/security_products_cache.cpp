#include "security/security_products_cache.h"

#include <windows.h>

#include <cryptopp/filters.h>
#include <cryptopp/hmac.h>
#include <cryptopp/sha.h>

#include <ctime>

#include "base/base64.h"
#include "base/exception.h"
#include "base/log.h"
#include "security/wsc_interfaces.h"

const wchar_t kCacheRootKey[] = L"Software\\Veltrastone";
const wchar_t kSecurityProductsKey[] = L"Cache\\SecurityProducts";

namespace {

constexpr uint32_t kSaveMode = 1;
constexpr int64_t kUnitsPerSecond = 10000000;

struct ProviderClass {
    uint32_t provider;
    const wchar_t* failure;
};

// The order in which classes are saved.
const ProviderClass kProviderClasses[] = {
    {kWscProviderAntiVirus, L"Failed to save AntiVirus to cache mode [%u] subkey [%s] error [%S]"},
    {kWscProviderFirewall, L"Failed to save Firewall to cache mode [%u] subkey [%s] error [%S]"},
    {kWscProviderAntiSpyware, L"Failed to save AntiSpyware to cache mode [%u] subkey [%s] error [%S]"},
};

// The MAC works on UTF-16 code units, low byte first, without a terminator,
// so no character is lost to a code page.
std::string Utf16LeBytes(const std::wstring& text) {
    std::string bytes;
    bytes.reserve(text.size() * 2);
    for (const wchar_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>((unit >> 8) & 0xFF));
    }
    return bytes;
}

std::wstring Verification(const std::wstring& keyText, const std::wstring& messageText) {
    uint8_t mac[32];
    HmacSha256(Utf16LeBytes(keyText), Utf16LeBytes(messageText), mac);
    const std::string base64 = Base64Encode(mac, sizeof(mac));
    return std::wstring(base64.begin(), base64.end());
}

}  // namespace

std::wstring FormatSaveTime(int64_t now) {
    const __time64_t seconds = now / kUnitsPerSecond;
    struct tm broken = {};
    const errno_t error = _gmtime64_s(&broken, &seconds);
    if (error != 0) {
        LogError(L"Failed to convert save time [%lld] error [%d]", static_cast<long long>(now), error);
        throw Base::Exception("Failed to format save time");
    }
    // "%FT%TZ" spelt out: msvcrt.dll's formatter does not know %F and %T.
    wchar_t text[32];
    const size_t length = wcsftime(text, 32, L"%Y-%m-%dT%H:%M:%SZ", &broken);
    if (length == 0) throw Base::Exception("Failed to format save time");
    return std::wstring(text, length);
}

std::wstring ProviderClassName(uint32_t provider) {
    switch (provider) {
    case kWscProviderFirewall:
        return L"Firewall";
    case kWscProviderAntiVirus:
        return L"AntiVirus";
    case kWscProviderAntiSpyware:
        return L"AntiSpyware";
    default:
        LogWarning(L"Unhandled security provider [%u]", provider);
        return std::to_wstring(provider);
    }
}

void HmacSha256(const std::string& key, const std::string& message, uint8_t (&out)[32]) {
    LogVerbose(L"Invoking HMAC-SHA-256 on key length [%lu] with input length [%lu]",
               static_cast<unsigned long>(key.size()), static_cast<unsigned long>(message.size()));
    try {
        CryptoPP::HMAC<CryptoPP::SHA256> hmac(reinterpret_cast<const CryptoPP::byte*>(key.data()), key.size());
        CryptoPP::StringSource source(message, true,
                                      new CryptoPP::HashFilter(hmac, new CryptoPP::ArraySink(out, sizeof(out))));
    } catch (const CryptoPP::Exception& e) {
        LogError(L"Crypto++ HMAC-SHA-256 reported error [%S]", e.what());
        throw Base::Exception(e.what());
    }
}

std::wstring ComputeProductVerify(RegistryKey& productKey, const SecurityProduct& product,
                                  const std::wstring& nowText) {
    const std::wstring keyText = productKey.GetPath();
    const std::wstring messageText = product.name + L"/" + std::to_wstring(static_cast<int32_t>(product.status)) +
                                     L"/" + product.timestamp + L"/" + nowText;
    const std::wstring result = Verification(keyText, messageText);
    LogVerbose(L"Computed security product verification [%s] from key [%s] input [%s]", result.c_str(),
               keyText.c_str(), messageText.c_str());
    return result;
}

std::wstring ComputeProviderVerify(RegistryKey& providerKey, uint32_t count, const std::wstring& nowText) {
    const std::wstring keyText = providerKey.GetPath();
    const std::wstring messageText = std::to_wstring(count) + L"/" + nowText;
    const std::wstring result = Verification(keyText, messageText);
    LogVerbose(L"Computed security products verification [%s] from key [%s] keyLength [%lu] input [%s] "
               L"inputLength [%lu]",
               result.c_str(), keyText.c_str(), static_cast<unsigned long>(keyText.size()), messageText.c_str(),
               static_cast<unsigned long>(messageText.size()));
    return result;
}

void SaveProvider(uint32_t provider, const Base::Ref<RegistryKey>& cacheRoot, int64_t now,
                  const std::vector<SecurityProduct>& products) {
    const std::wstring nowText = FormatSaveTime(now);
    const std::wstring path = std::wstring(kSecurityProductsKey) + L"\\" + ProviderClassName(provider);
    // Whole replacement: a shorter list leaves no stale product behind.
    cacheRoot->DeleteTree(path);
    const Base::Ref<RegistryKey> providerKey = cacheRoot->CreateSubKey(path, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY);
    for (size_t index = 0; index < products.size(); ++index) {
        const SecurityProduct& product = products[index];
        const Base::Ref<RegistryKey> productKey = providerKey->CreateSubKey(std::to_wstring(index), 0, KEY_ALL_ACCESS);
        productKey->SetString(L"Name", product.name);
        productKey->SetDword(L"Status", product.status);
        productKey->SetString(L"StatusTimestamp", product.timestamp);
        productKey->SetString(L"Timestamp", nowText);
        productKey->SetString(L"Verify", ComputeProductVerify(*productKey, product, nowText));
    }
    const auto count = static_cast<uint32_t>(products.size());
    providerKey->SetDword(L"Count", count);
    providerKey->SetString(L"Timestamp", nowText);
    providerKey->SetString(L"Verify", ComputeProviderVerify(*providerKey, count, nowText));
}

void SaveSecurityProducts(int64_t now) {
    LogEnter(nullptr);
    try {
        const Base::Ref<RegistryKey> cacheRoot =
            RegistryKey::Root(HKEY_LOCAL_MACHINE)->CreateSubKey(kCacheRootKey, 0, KEY_ALL_ACCESS);
        const Base::Ref<SecurityCenter> securityCenter = Base::MakeRef<SecurityCenter>();
        for (const ProviderClass& providerClass : kProviderClasses) {
            try {
                std::vector<SecurityProduct> products;
                securityCenter->GetProducts(providerClass.provider, products);
                // No products: the class keeps what an earlier save wrote.
                if (!products.empty()) SaveProvider(providerClass.provider, cacheRoot, now, products);
            } catch (const Base::Exception& e) {
                LogError(providerClass.failure, kSaveMode, kCacheRootKey, e.what());
            }
        }
    } catch (const Base::Exception& e) {
        LogError(L"Failed to save security products to cache mode [%u] subkey [%s] error [%S]", kSaveMode,
                 kCacheRootKey, e.what());
    }
    LogExit(nullptr);
}
