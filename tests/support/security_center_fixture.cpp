#include "support/security_center_fixture.h"

#include <windows.h>

#include "base/registry_key.h"
#include "security/security_products_cache.h"
#include "security/security_products_cache_check.h"

namespace Testing {
namespace {

std::wstring FixturesFolder() { return TestBinaryFolder() + L"\\..\\fixtures"; }

void RunFixtures(const wchar_t* action, const std::wstring& folder) {
    RunToEnd(L"\"" + FixturesFolder() + L"\\kxfixtures.exe\" " + action + L" \"" + folder + L"\"");
}

// The values of one key as "prefix" + name, the save time into `times`.
void ReadValues(RegistryKey& key, const std::wstring& prefix, std::map<std::wstring, std::wstring>& values,
                std::set<std::wstring>& times) {
    std::wstring text;
    DWORD number = 0;
    for (const wchar_t* name : {L"Name", L"StatusTimestamp"}) {
        if (key.QueryString(name, text)) values[prefix + name] = text;
    }
    for (const wchar_t* name : {L"Status", L"Count"}) {
        if (key.QueryDword(name, number)) values[prefix + name] = std::to_wstring(number);
    }
    if (key.QueryString(L"Timestamp", text)) times.insert(text);
}

}  // namespace

// Removing the stand-in also deletes the cache saved from it and the Windows
// versions set for kxcontrol copies.
SecurityCenterFixture::SecurityCenterFixture() {
    RunFixtures(L"remove-security-center", folder.Path());
    RunFixtures(L"install-security-center", folder.Path());
}

SecurityCenterFixture::~SecurityCenterFixture() { RunFixtures(L"remove-security-center", folder.Path()); }

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
    const std::wstring version = windows == Windows::Ten ? L"win10" : L"win7";
    RegSetKeyValueW(HKEY_CURRENT_USER, (L"Software\\Wine\\AppDefaults\\" + name).c_str(), L"Version", REG_SZ,
                    version.c_str(), static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t)));
    const wchar_t* wscapi = windows == Windows::Seven                         ? L"\\wsc\\Wscapi.dll"
                            : windows == Windows::SevenWithWscapiLackingHealth ? L"\\x64\\kxclient.dll"
                                                                                : nullptr;
    if (wscapi) CopyFileW((FixturesFolder() + wscapi).c_str(), (programFolder + L"\\Wscapi.dll").c_str(), FALSE);
    std::wstring environment;
    if (!health.empty()) environment += L"KX_WSC_HEALTH=" + health + L"\n";
    if (!table.empty()) environment += L"KX_WSC_PRODUCTS=" + table;
    return RunToEnd(L"\"" + program + L"\" " + control + L" -v", 60000, environment);
}

std::map<std::wstring, std::wstring> SecurityCenterFixture::ReadCache(std::set<std::wstring>* saveTimes) {
    std::map<std::wstring, std::wstring> values;
    std::set<std::wstring> times;
    const auto machine = RegistryKey::Root(HKEY_LOCAL_MACHINE);
    const std::wstring path = std::wstring(kCacheRootKey) + L"\\" + kSecurityProductsKey;
    if (machine->SubKeyExists(path, KEY_READ)) {
        const auto classes = machine->OpenSubKey(path, KEY_READ);
        for (const std::wstring& className : classes->SubKeyNames()) {
            const auto provider = classes->OpenSubKey(className, KEY_READ);
            ReadValues(*provider, className + L"\\", values, times);
            for (const std::wstring& index : provider->SubKeyNames()) {
                ReadValues(*provider->OpenSubKey(index, KEY_READ), className + L"\\" + index + L"\\", values, times);
            }
        }
    }
    if (saveTimes != nullptr) *saveTimes = times;
    return values;
}

bool SecurityCenterFixture::CacheVerifies() {
    bool verified = true;
    for (const CacheKeyCheck& check : CheckSecurityProductsCache()) verified = verified && check.verified;
    return verified;
}

}  // namespace Testing
