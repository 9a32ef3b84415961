// The security products cache the service writes at shutdown and logoff, against
// Security Center stand-ins (Wine has none): kxfixtures registers the product
// list class and serves the test's product table; a copy of kxcontrol delivers
// the control, with Wine reporting Windows 10 (product list) or 7 (health, with
// or without a Wscapi.dll beside it). Tampering: verify_cache_check.py.

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/registry_key.h"
#include "base/text.h"
#include "security/security_products_cache.h"
#include "security/security_products_cache_check.h"
#include "support/child_process.h"
#include "support/scratch.h"

namespace {

using Values = std::map<std::wstring, std::wstring>;
enum class Windows { Ten, Seven, SevenWithoutWscapi, SevenWithWscapiLackingHealth };

std::wstring FixturesFolder() { return Testing::TestBinaryFolder() + L"\\..\\fixtures"; }

// Machine-wide: only suites named SecurityCache* use it. Removing the stand-in
// also deletes the cache and the Windows versions set for kxcontrol copies.
class SecurityCenterFixture {
public:
    SecurityCenterFixture() {
        RunFixtures(L"remove-security-center");
        RunFixtures(L"install-security-center");
    }
    ~SecurityCenterFixture() { RunFixtures(L"remove-security-center"); }

    // products: UTF-8, one a line (see tools/fixtures/wsc_product_list_fixture.cpp);
    // health: "PROVIDER=HEALTH ..." for the Wscapi.dll stand-in.
    Testing::ProcessResult Deliver(const std::wstring& control, Windows windows, const std::string& products,
                                   const std::wstring& health) {
        // A program of its own: Wine reads its Windows version when it starts,
        // and a Wscapi.dll beside it is found by nothing else.
        const std::wstring name = L"kxcontrol-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(copies++) + L".exe";
        const std::wstring programFolder = folder.File(name + L".d");
        CreateDirectoryW(programFolder.c_str(), nullptr);
        CopyFileW((FixturesFolder() + L"\\kxcontrol.exe").c_str(), (programFolder + L"\\" + name).c_str(), FALSE);
        const std::wstring version = windows == Windows::Ten ? L"win10" : L"win7";
        RegSetKeyValueW(HKEY_CURRENT_USER, (L"Software\\Wine\\AppDefaults\\" + name).c_str(), L"Version", REG_SZ,
                        version.c_str(), static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t)));
        const wchar_t* wscapi = windows == Windows::Seven                         ? L"\\wsc\\Wscapi.dll"
                                : windows == Windows::SevenWithWscapiLackingHealth ? L"\\x64\\kxclient.dll"
                                                                                    : nullptr;
        if (wscapi) CopyFileW((FixturesFolder() + wscapi).c_str(), (programFolder + L"\\Wscapi.dll").c_str(), FALSE);
        const std::wstring environment = L"KX_WSC_HEALTH=" + health + L"\nKX_WSC_PRODUCTS=" +
                                         folder.WriteFile(name + L".txt", products);
        return Testing::RunToEnd(L"\"" + programFolder + L"\\" + name + L"\" " + control + L" -v", 60000, environment);
    }

private:
    void RunFixtures(const wchar_t* action) {
        Testing::RunToEnd(L"\"" + FixturesFolder() + L"\\kxfixtures.exe\" " + action + L" \"" + folder.Path() + L"\"");
    }

    Testing::ScratchFolder folder;
    unsigned copies = 0;
};

// "Class\Value" and "Class\Index\Value" to the stored text (REG_DWORD in decimal),
// once the cache's reader finds every "Verify" right and each class holds one save time.
Values ReadVerifiedCache() {
    Values values;
    std::map<std::wstring, std::set<std::wstring>> saveTimes;
    const auto read = [&](RegistryKey& key, const std::wstring& className, const std::wstring& prefix) {
        std::wstring text;
        DWORD number = 0;
        for (const wchar_t* name : {L"Name", L"StatusTimestamp"}) {
            if (key.QueryString(name, text)) values[prefix + name] = text;
        }
        for (const wchar_t* name : {L"Status", L"Count"}) {
            if (key.QueryDword(name, number)) values[prefix + name] = std::to_wstring(number);
        }
        if (key.QueryString(L"Timestamp", text)) saveTimes[className].insert(text);
    };
    const auto machine = RegistryKey::Root(HKEY_LOCAL_MACHINE);
    const std::wstring path = std::wstring(kCacheRootKey) + L"\\" + kSecurityProductsKey;
    if (machine->SubKeyExists(path, KEY_READ)) {
        const auto classes = machine->OpenSubKey(path, KEY_READ);
        for (const std::wstring& className : classes->SubKeyNames()) {
            const auto provider = classes->OpenSubKey(className, KEY_READ);
            read(*provider, className, className + L"\\");
            for (const std::wstring& index : provider->SubKeyNames()) {
                read(*provider->OpenSubKey(index, KEY_READ), className, className + L"\\" + index + L"\\");
            }
        }
    }
    for (const auto& [className, times] : saveTimes) EXPECT_EQ(times.size(), 1u) << ToNarrow(className);
    for (const CacheKeyCheck& check : CheckSecurityProductsCache()) EXPECT_TRUE(check.verified);
    return values;
}

// The values of a class's products, added to those of other classes.
Values Products(const std::wstring& className, const std::vector<std::vector<std::wstring>>& rows, Values values = {}) {
    values[className + L"\\Count"] = std::to_wstring(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        const std::wstring key = className + L"\\" + std::to_wstring(i) + L"\\";
        values[key + L"Name"] = rows[i][0];
        values[key + L"Status"] = rows[i][1];
        values[key + L"StatusTimestamp"] = rows[i][2];
    }
    return values;
}

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

std::string SaveFailed(const std::string& className, const char* error) {
    return "Failed to save " + className + " to cache mode [1] subkey [Software\\Veltrastone] error [" + error;
}

}  // namespace

// The saves follow each other on one cache: a class that is written is
// replaced whole, one that reports nothing or cannot be read keeps what an
// earlier save wrote.
TEST(SecurityCacheSave, ShutdownAndLogoffSaveWhatEitherSecurityCenterReports) {
    const struct {
        const char* what;
        const wchar_t* control;
        Windows windows;
        std::string products;
        std::wstring health;
        Values written;                                     // the classes this save replaces
        std::vector<std::pair<std::string, size_t>> lines;  // trace text and how often it appears
    } cases[] = {
        {"product list: every status rule, names beyond any code page", L"shutdown", Windows::Ten,
         "4\tOn and current\t0\t1\t2026-05-01T08:00:00Z\n"
         "4\tOn, signatures out of date\t0\t0\t2026-05-01T08:01:00Z\n"
         "4\tOn, odd signature status\t0\t5\tT2\n"
         "4\tOff\t1\t1\tT3\n"
         "4\tSnoozed\t2\t1\tT4\n"
         "4\tExpired\t3\t1\tT5\n"
         "4\tState unreadable\t!\t1\tT6\n"
         "4\t!\t0\t!\tNULL\n"
         "4\t~\t0\t1\tnull\n"
         "4\tZa\xC5\xA1\xC4\x8Dita \xE9\x98\xB2\xE5\xBE\xA1 \xF0\x9F\x9B\xA1\t0\t1\t!\n"
         "1\tFirewall\t0\t1\tT\n"
         "8\tAntispyware\t0\t0\t2026-04-30T12:00:00Z\n",
         L"",
         Products(L"AntiVirus", {{L"On and current", L"1", L"2026-05-01T08:00:00Z"},
                                 {L"On, signatures out of date", L"0", L"2026-05-01T08:01:00Z"},
                                 {L"On, odd signature status", L"2", L"T2"},
                                 {L"Off", L"2", L"T3"},
                                 {L"Snoozed", L"2", L"T4"},
                                 {L"Expired", L"2", L"T5"},
                                 {L"State unreadable", L"2", L"T6"},
                                 {L"", L"1", L""},
                                 {L"", L"1", L""},
                                 {L"Za\u0161\u010Dita \u9632\u5FA1 \U0001F6E1", L"1", L""}},
                  Products(L"Firewall", {{L"Firewall", L"1", L"T"}},
                           Products(L"AntiSpyware", {{L"Antispyware", L"0", L"2026-04-30T12:00:00Z"}}))),
         {{"WARNING : Security Center state [0] with signature status [5] unexpected", 1},
          {"Failed to get product [6] provider [4] state error [0x80004005]", 1},
          {"Failed to get product [7] provider [4] signature status error [0x80004005]", 1}}},
        {"product list at logoff: a shorter list, a failing class, an item that is no product", L"logoff",
         Windows::Ten, "4\tSolo\t0\t0\tT\n1\t!Initialize\n8\tNew spy\t0\t1\tT\n8\t~Item\n", L"",
         Products(L"AntiVirus", {{L"Solo", L"0", L"T"}}),
         {{"Failed to get WSC product at index [1] from provider [8] with error [0x0]", 1},
          {SaveFailed("Firewall", "Failed to initialize security center product list"), 1},
          {SaveFailed("AntiSpyware", "Failed to get product from security center product list"), 1}}},
        {"health: good, not monitored, poor", L"shutdown", Windows::Seven, "", L"4=0 1=1 8=2",
         Products(L"AntiVirus", {{L"", L"0", L""}}, Products(L"AntiSpyware", {{L"", L"2", L""}})), {}},
        {"health at logoff: snoozed, failing, not named", L"logoff", Windows::Seven, "", L"4=3 1=fail",
         Products(L"AntiVirus", {{L"", L"2", L""}}),
         {{"Failed to get Windows 7 security provider health for provider [1] hr [0x80004005]", 1},
          {SaveFailed("Firewall", "Failed to get health"), 1}}},
        {"health without Wscapi.dll: tried once, every class unavailable", L"shutdown", Windows::SevenWithoutWscapi,
         "", L"", {},
         {{"Failed to load module [Wscapi.dll] with error [126]", 1}, {"error [Unavailable - ", 3}, {"(Err 126)]", 3}}},
        {"health with a Wscapi.dll that lacks the function", L"logoff", Windows::SevenWithWscapiLackingHealth, "",
         L"", {},
         {{"Module [Wscapi.dll] loaded, but could not locate method [WscGetSecurityProviderHealth] with error [127]",
           1},
          {"error [Unavailable - ", 3},
          {"(Err 127)]", 3}}},
    };
    SecurityCenterFixture securityCenter;
    Values cache;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Testing::ProcessResult result = securityCenter.Deliver(c.control, c.windows, c.products, c.health);
        ASSERT_EQ(result.exitCode, 0u) << result.output;
        Values expected = c.written;
        for (const auto& [key, value] : cache) {
            if (c.written.count(key.substr(0, key.find(L'\\')) + L"\\Count") == 0) expected.insert({key, value});
        }
        EXPECT_EQ(ReadVerifiedCache(), expected);
        cache = expected;
        for (const auto& [line, count] : c.lines) EXPECT_EQ(Occurrences(result.output, line), count) << line;
    }
    // The save time is UTC to whole seconds (msvcrt's formatter knows neither %F nor %T).
    EXPECT_EQ(FormatSaveTime(17776242009999999), L"2026-05-01T08:30:00Z");
    EXPECT_EQ(FormatSaveTime(0), L"1970-01-01T00:00:00Z");
}
