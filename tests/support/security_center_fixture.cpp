#include "support/security_center_fixture.h"

#include <windows.h>

#include "base/registry_key.h"
#include "security/security_products_cache.h"
#include "security/security_products_cache_check.h"

namespace Testing {
namespace {

const wchar_t kAppDefaults[] = L"Software\\Wine\\AppDefaults\\";

std::wstring FixturesFolder() {
    const std::wstring tests = TestBinaryFolder();
    return tests.substr(0, tests.find_last_of(L"\\/")) + L"\\fixtures";
}

ProcessResult RunFixtures(const wchar_t* action, const std::wstring& folder) {
    return RunToEnd(L"\"" + FixturesFolder() + L"\\kxfixtures.exe\" " + action + L" \"" + folder + L"\"");
}

void SetWindowsVersion(const std::wstring& program, const wchar_t* version) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, (kAppDefaults + program).c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return;
    }
    RegSetValueExW(key, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                   static_cast<DWORD>((wcslen(version) + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

Base::Ref<RegistryKey> OpenClasses() {
    return RegistryKey::Root(HKEY_LOCAL_MACHINE)
        ->OpenSubKey(std::wstring(kCacheRootKey) + L"\\" + kSecurityProductsKey, KEY_READ);
}

bool CacheExists() {
    return RegistryKey::Root(HKEY_LOCAL_MACHINE)
        ->SubKeyExists(std::wstring(kCacheRootKey) + L"\\" + kSecurityProductsKey, KEY_READ);
}

// Reads the values of one key into the map, the save times into `times`.
void ReadValues(RegistryKey& key, const std::wstring& prefix, std::map<std::wstring, std::wstring>& values,
                std::set<std::wstring>& times) {
    for (const wchar_t* name : {L"Name", L"StatusTimestamp"}) {
        std::wstring text;
        if (key.QueryString(name, text)) values[prefix + name] = text;
    }
    for (const wchar_t* name : {L"Status", L"Count"}) {
        DWORD number = 0;
        if (key.QueryDword(name, number)) values[prefix + name] = std::to_wstring(number);
    }
    std::wstring time;
    if (key.QueryString(L"Timestamp", time)) times.insert(time);
}

std::map<std::wstring, std::wstring> ReadAll(std::set<std::wstring>& times) {
    std::map<std::wstring, std::wstring> values;
    if (!CacheExists()) return values;
    const auto classes = OpenClasses();
    for (const std::wstring& className : classes->SubKeyNames()) {
        const auto providerKey = classes->OpenSubKey(className, KEY_READ);
        ReadValues(*providerKey, className + L"\\", values, times);
        for (const std::wstring& index : providerKey->SubKeyNames()) {
            ReadValues(*providerKey->OpenSubKey(index, KEY_READ), className + L"\\" + index + L"\\", values, times);
        }
    }
    return values;
}

}  // namespace

// Removing the stand-in also deletes the cache saved from it and the Windows
// versions set for kxcontrol copies.
SecurityCenterFixture::SecurityCenterFixture() {
    RunFixtures(L"remove-security-center", folder.Path());
    RunFixtures(L"install-security-center", folder.Path());
}

SecurityCenterFixture::~SecurityCenterFixture() {
    RunFixtures(L"remove-security-center", folder.Path());
}

void SecurityCenterFixture::SetProducts(const std::string& text) { table = folder.WriteFile(L"products.txt", text); }

ProcessResult SecurityCenterFixture::Deliver(const std::wstring& control, Windows windows, const std::wstring& health) {
    // A program of its own: Wine reads its Windows version when it starts,
    // and a Wscapi.dll beside it is found by nothing else.
    const std::wstring name =
        L"kxcontrol-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(copies++) + L".exe";
    const std::wstring programFolder = folder.File(name + L".d");
    const std::wstring program = programFolder + L"\\" + name;
    CreateDirectoryW(programFolder.c_str(), nullptr);
    CopyFileW((FixturesFolder() + L"\\kxcontrol.exe").c_str(), program.c_str(), FALSE);
    SetWindowsVersion(name, windows == Windows::Ten ? L"win10" : L"win7");
    const std::wstring wscapi = programFolder + L"\\Wscapi.dll";
    if (windows == Windows::Seven) CopyFileW((FixturesFolder() + L"\\wsc\\Wscapi.dll").c_str(), wscapi.c_str(), FALSE);
    if (windows == Windows::SevenWithWscapiLackingHealth) {
        CopyFileW((FixturesFolder() + L"\\x64\\kxclient.dll").c_str(), wscapi.c_str(), FALSE);
    }
    std::wstring environment;
    if (!health.empty()) environment += L"KX_WSC_HEALTH=" + health + L"\n";
    if (!table.empty()) environment += L"KX_WSC_PRODUCTS=" + table;
    return RunToEnd(L"\"" + program + L"\" " + control + L" -v", 60000, environment);
}

std::map<std::wstring, std::wstring> SecurityCenterFixture::ReadCache(std::set<std::wstring>* saveTimes) {
    std::set<std::wstring> times;
    std::map<std::wstring, std::wstring> values = ReadAll(times);
    if (saveTimes != nullptr) *saveTimes = times;
    return values;
}

bool SecurityCenterFixture::CacheVerifies() {
    bool verified = true;
    for (const CacheKeyCheck& check : CheckSecurityProductsCache()) verified = verified && check.verified;
    return verified;
}

}  // namespace Testing
