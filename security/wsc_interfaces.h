#pragma once
// Windows Security Center's product-list interfaces, which mingw does not
// declare. The layout is the platform's public one and must stay exactly so:
// both interfaces derive from IDispatch, so their own methods start at vtable
// slot 7, in the order written here. A product list is created for one
// provider class (Initialize), then counted and read item by item; each item
// is one registered product with its name, state, signature status and the
// time its state last changed.

#include <windows.h>
#include <oaidl.h>

#include <cstdint>

// Provider classes, as Security Center numbers them.
constexpr uint32_t kWscProviderFirewall = 1;
constexpr uint32_t kWscProviderAntiVirus = 4;
constexpr uint32_t kWscProviderAntiSpyware = 8;

enum WSC_SECURITY_PRODUCT_STATE : int32_t {
    WSC_SECURITY_PRODUCT_STATE_ON = 0,
    WSC_SECURITY_PRODUCT_STATE_OFF = 1,
    WSC_SECURITY_PRODUCT_STATE_SNOOZED = 2,
    WSC_SECURITY_PRODUCT_STATE_EXPIRED = 3,
};

// A firewall always reports up to date.
enum WSC_SECURITY_SIGNATURE_STATUS : int32_t {
    WSC_SECURITY_PRODUCT_OUT_OF_DATE = 0,
    WSC_SECURITY_PRODUCT_UP_TO_DATE = 1,
};

// Health values of WscGetSecurityProviderHealth (earlier systems).
enum WSC_SECURITY_PROVIDER_HEALTH : int32_t {
    WSC_SECURITY_PROVIDER_HEALTH_GOOD = 0,
    WSC_SECURITY_PROVIDER_HEALTH_NOTMONITORED = 1,
    WSC_SECURITY_PROVIDER_HEALTH_POOR = 2,
    WSC_SECURITY_PROVIDER_HEALTH_SNOOZE = 3,
};

using WscGetSecurityProviderHealthFunction = HRESULT(WINAPI*)(DWORD providers, WSC_SECURITY_PROVIDER_HEALTH* health);

// {17072F7B-9ABE-4A74-A261-1EB76B55107A}
inline constexpr CLSID CLSID_WSCProductList = {
    0x17072F7B, 0x9ABE, 0x4A74, {0xA2, 0x61, 0x1E, 0xB7, 0x6B, 0x55, 0x10, 0x7A}};
// {722A338C-6E8E-4E72-AC27-1417FB0C81C2}
inline constexpr IID IID_IWSCProductList = {
    0x722A338C, 0x6E8E, 0x4E72, {0xAC, 0x27, 0x14, 0x17, 0xFB, 0x0C, 0x81, 0xC2}};
// {8C38232E-3A45-4A27-92B0-1A16A975F669}
inline constexpr IID IID_IWscProduct = {
    0x8C38232E, 0x3A45, 0x4A27, {0x92, 0xB0, 0x1A, 0x16, 0xA9, 0x75, 0xF6, 0x69}};

struct IWscProduct : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_ProductName(BSTR* name) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ProductState(WSC_SECURITY_PRODUCT_STATE* state) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SignatureStatus(WSC_SECURITY_SIGNATURE_STATUS* status) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_RemediationPath(BSTR* path) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ProductStateTimestamp(BSTR* timestamp) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ProductGuid(BSTR* guid) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ProductIsDefault(BOOL* isDefault) = 0;
};

struct IWSCProductList : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE Initialize(ULONG provider) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Count(LONG* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Item(ULONG index, IWscProduct** product) = 0;
};
