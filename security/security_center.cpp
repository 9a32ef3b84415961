#include "security/security_center.h"

#include <windows.h>
#include <ole2.h>

#include "base/exception.h"
#include "base/log.h"
#include "base/windows_version.h"
#include "base/unique_any.h"
#include "security/wsc_interfaces.h"

namespace {

template <typename T>
void ReleaseInterface(T* object) noexcept {
    object->Release();
}
template <typename T>
using UniqueComPtr = Base::UniqueAny<Base::NullHandleTraits<T*, ReleaseInterface<T>>>;
using UniqueBstr = Base::UniqueAny<Base::NullHandleTraits<BSTR, SysFreeString>>;

constexpr uint32_t kStatusOutOfDate = 0;
constexpr uint32_t kStatusOn = 1;
constexpr uint32_t kStatusOff = 2;
constexpr uint32_t kStatusHealthGood = 0;

uint32_t ProductStatus(int32_t state, int32_t signature) {
    if (state != WSC_SECURITY_PRODUCT_STATE_ON) return kStatusOff;
    if (signature == WSC_SECURITY_PRODUCT_UP_TO_DATE) return kStatusOn;
    if (signature == WSC_SECURITY_PRODUCT_OUT_OF_DATE) return kStatusOutOfDate;
    LogWarning(L"Security Center state [%u] with signature status [%u] unexpected", static_cast<uint32_t>(state),
               static_cast<uint32_t>(signature));
    return kStatusOff;
}

UniqueComPtr<IWSCProductList> CreateProductList() {
    UniqueComPtr<IUnknown> unknown;
    UniqueComPtr<IWSCProductList> list;
    HRESULT result = CoCreateInstance(CLSID_WSCProductList, nullptr, CLSCTX_ALL, IID_IUnknown,
                                      reinterpret_cast<void**>(unknown.Put()));
    if (SUCCEEDED(result)) result = OleRun(unknown.Get());
    if (SUCCEEDED(result)) {
        result = unknown.Get()->QueryInterface(IID_IWSCProductList, reinterpret_cast<void**>(list.Put()));
    }
    if (result == REGDB_E_CLASSNOTREG) {
        LogVerbose(L"Failed to create Windows 8+ WSC product list since class not registered");
        throw Base::ExceptionHresultWin32("Failed to create security center product list", result);
    }
    if (FAILED(result)) {
        LogError(L"Failed to create WSC product list with error [0x%x]", result);
        throw Base::ExceptionHresultWin32("Failed to create security center product list", result);
    }
    return list;
}

SecurityProduct ReadProduct(IWSCProductList& list, LONG index, uint32_t provider) {
    UniqueComPtr<IWscProduct> product;
    HRESULT result = list.get_Item(static_cast<ULONG>(index), product.Put());
    if (FAILED(result) || !product) {
        LogError(L"Failed to get WSC product at index [%d] from provider [%lu] with error [0x%x]", index, provider,
                 result);
        throw Base::ExceptionHresultWin32("Failed to get product from security center product list",
                                          FAILED(result) ? result : E_POINTER);
    }
    SecurityProduct found;

    UniqueBstr name;
    result = product.Get()->get_ProductName(name.Put());
    if (SUCCEEDED(result) && name) {
        found.name = name.Get();
    } else {
        LogVerbose(L"Failed to get product [%d] provider [%lu] name error [0x%x]", index, provider, result);
    }

    WSC_SECURITY_PRODUCT_STATE state = WSC_SECURITY_PRODUCT_STATE_OFF;
    result = product.Get()->get_ProductState(&state);
    if (FAILED(result)) {
        state = WSC_SECURITY_PRODUCT_STATE_OFF;
        LogVerbose(L"Failed to get product [%d] provider [%lu] state error [0x%x]", index, provider, result);
    }

    UniqueBstr timestamp;
    result = product.Get()->get_ProductStateTimestamp(timestamp.Put());
    if (SUCCEEDED(result) && timestamp && _wcsicmp(timestamp.Get(), L"NULL") != 0) {
        found.timestamp = timestamp.Get();
    } else {
        LogVerbose(L"Failed to get product [%d] provider [%lu] state timestamp error [0x%x]", index, provider, result);
    }

    WSC_SECURITY_SIGNATURE_STATUS signature = WSC_SECURITY_PRODUCT_UP_TO_DATE;
    result = product.Get()->get_SignatureStatus(&signature);
    if (FAILED(result)) {
        signature = WSC_SECURITY_PRODUCT_UP_TO_DATE;
        LogVerbose(L"Failed to get product [%d] provider [%lu] signature status error [0x%x]", index, provider,
                   result);
    }

    found.status = ProductStatus(state, signature);
    LogVerbose(L"Found security center provider [%lu] name [%s] state [%lu] timestamp [%s] signature status [%lu] "
               L"product status [%u]",
               provider, found.name.c_str(), static_cast<unsigned long>(state), found.timestamp.c_str(),
               static_cast<unsigned long>(signature), found.status);
    return found;
}

void GetListedProducts(uint32_t provider, std::vector<SecurityProduct>& products) {
    const UniqueComPtr<IWSCProductList> list = CreateProductList();
    HRESULT result = list.Get()->Initialize(provider);
    if (FAILED(result)) {
        LogError(L"Failed to initialise WSC product list with provider [%lu] and error [0x%x]", provider, result);
        throw Base::ExceptionHresultWin32("Failed to initialize security center product list", result);
    }
    LONG count = 0;
    result = list.Get()->get_Count(&count);
    if (FAILED(result)) {
        LogError(L"Failed to get WSC product count from provider [%lu] with error [0x%x]", provider, result);
        throw Base::ExceptionHresultWin32("Failed to get count of security center product list", result);
    }
    LogVerbose(L"Found [%d] security center products for provider [%lu]", count, provider);
    // A failing item fails the whole query: nothing is appended then.
    std::vector<SecurityProduct> found;
    for (LONG index = 0; index < count; ++index) found.push_back(ReadProduct(*list.Get(), index, provider));
    products.insert(products.end(), found.begin(), found.end());
}

// "Wscapi.dll" of earlier systems, looked up once per process. A failed
// lookup is remembered and never retried. Saves run one at a time on the
// control handler's thread, so this needs no lock.
class HealthFunction {
public:
    static HealthFunction& Instance() {
        static HealthFunction function;
        return function;
    }

    WscGetSecurityProviderHealthFunction Get() {
        if (loadError != 0) throw Base::ExceptionWin32("Unavailable", loadError);
        if (function == nullptr) Load();
        return function;
    }

private:
    void Load() {
        const wchar_t* moduleName = L"Wscapi.dll";
        const char* functionName = "WscGetSecurityProviderHealth";
        Base::UniqueModule loaded(LoadLibraryW(moduleName));
        if (!loaded) {
            loadError = GetLastError();
            LogVerbose(L"Failed to load module [%s] with error [%lu]", moduleName, loadError);
            throw Base::ExceptionWin32("Unavailable", loadError);
        }
        const auto address = GetProcAddress(loaded.Get(), functionName);
        if (address == nullptr) {
            loadError = GetLastError();
            LogVerbose(L"Module [%s] loaded, but could not locate method [%S] with error [%lu]", moduleName,
                       functionName, loadError);
            throw Base::ExceptionWin32("Unavailable", loadError);
        }
        LogVerbose(L"Module [%s] method [%S] loaded successfully", moduleName, functionName);
        function = reinterpret_cast<WscGetSecurityProviderHealthFunction>(reinterpret_cast<void*>(address));
        module = std::move(loaded);
    }

    Base::UniqueModule module;
    WscGetSecurityProviderHealthFunction function = nullptr;
    DWORD loadError = 0;
};

void GetProviderHealth(uint32_t provider, std::vector<SecurityProduct>& products) {
    const WscGetSecurityProviderHealthFunction getHealth = HealthFunction::Instance().Get();
    WSC_SECURITY_PROVIDER_HEALTH health = WSC_SECURITY_PROVIDER_HEALTH_NOTMONITORED;
    const HRESULT result = getHealth(provider, &health);
    if (FAILED(result)) {
        LogError(L"Failed to get Windows 7 security provider health for provider [%u] hr [0x%x]", provider, result);
        throw Base::ExceptionHresultWin32("Failed to get health", result);
    }
    LogVerbose(L"Found security center provider [%lu] health [%u]", provider, static_cast<uint32_t>(health));
    if (health == WSC_SECURITY_PROVIDER_HEALTH_NOTMONITORED) return;
    products.push_back({L"", L"", health == WSC_SECURITY_PROVIDER_HEALTH_GOOD ? kStatusHealthGood : kStatusOff});
}

}  // namespace

void SecurityCenter::GetProducts(uint32_t provider, std::vector<SecurityProduct>& products) {
    LogEnter(nullptr);
    try {
        if (Base::IsWindowsVersionOrLater(6, 2)) {
            GetListedProducts(provider, products);
        } else {
            GetProviderHealth(provider, products);
        }
    } catch (...) {
        LogExit(nullptr);
        throw;
    }
    LogExit(nullptr);
}
