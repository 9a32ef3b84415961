#pragma once
// Windows Security Center for tests, which Wine lacks. The fixture registers
// the product-list stand-in in the prefix (through kxfixtures), serves a
// product table of the test's own, and delivers shutdown or logoff to the
// service's control handler in a kxcontrol copy of its own, to which Wine
// reports Windows 10 (product list) or Windows 7 (health path, with or
// without the Wscapi.dll stand-in beside it). The class registration and the
// cache are machine-wide, so only suites named SecurityCache* use this, one
// at a time; the cache is deleted on the way in and on the way out.

#include <map>
#include <set>
#include <string>

#include "support/child_process.h"
#include "support/scratch.h"

namespace Testing {

class SecurityCenterFixture {
public:
    enum class Windows { Ten, Seven, SevenWithoutWscapi, SevenWithWscapiLackingHealth };

    SecurityCenterFixture();
    ~SecurityCenterFixture();
    SecurityCenterFixture(const SecurityCenterFixture&) = delete;
    SecurityCenterFixture& operator=(const SecurityCenterFixture&) = delete;

    // UTF-8, one product a line (see tools/fixtures/wsc_product_list_fixture.cpp).
    void SetProducts(const std::string& table);
    // health: "PROVIDER=HEALTH ..." for the Wscapi.dll stand-in.
    ProcessResult Deliver(const std::wstring& control, Windows windows, const std::wstring& health = L"");

    // "Class\Value" and "Class\Index\Value" to the stored text (REG_DWORD in
    // decimal), without "Verify" and with the "Timestamp" texts gathered in
    // saveTimes.
    static std::map<std::wstring, std::wstring> ReadCache(std::set<std::wstring>* saveTimes = nullptr);
    // Every "Verify" agrees with its key, as the cache's reader finds.
    static bool CacheVerifies();

private:
    ScratchFolder folder;
    std::wstring table;
    unsigned copies = 0;
};

}  // namespace Testing
