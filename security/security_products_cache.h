#pragma once
// The cache of the Security Center's products, written at logoff and shutdown
// below HKLM\Software\Veltrastone:
//   Cache\SecurityProducts\{class}          "Count", "Timestamp", "Verify"
//   Cache\SecurityProducts\{class}\{index}  "Name", "Status", "StatusTimestamp", "Timestamp", "Verify"
// with {class} AntiVirus, Firewall or AntiSpyware and {index} 0, 1, ... in
// Security Center's order. "Timestamp" is the time of the save, the same text
// in every key of one save. "Verify" is the Base64 HMAC-SHA-256 of the key's
// values joined by "/" (name/status/state timestamp/save time, or
// count/save time), keyed with the key's own kernel path; key and message are
// UTF-16LE, and the text ends with a line feed (45 characters). A reader
// recomputes it from the stored values and the key's path to tell whether
// values were edited or moved to another key.

#include <cstdint>
#include <string>
#include <vector>

#include "base/object.h"
#include "base/registry_key.h"
#include "security/security_center.h"

// Below HKEY_LOCAL_MACHINE; nothing is written to it directly.
extern const wchar_t kCacheRootKey[];
// Below kCacheRootKey.
extern const wchar_t kSecurityProductsKey[];

// now: 100 ns units since 1970-01-01 UTC. The caller has COM initialised.
// Never throws a Base::Exception: failures are logged, and a failing class
// does not stop the next one.
void SaveSecurityProducts(int64_t now);

// Replaces one class's subtree with the products (delete, then write).
void SaveProvider(uint32_t provider, const Base::Ref<RegistryKey>& cacheRoot, int64_t now,
                  const std::vector<SecurityProduct>& products);

std::wstring ComputeProductVerify(RegistryKey& productKey, const SecurityProduct& product, const std::wstring& nowText);
std::wstring ComputeProviderVerify(RegistryKey& providerKey, uint32_t count, const std::wstring& nowText);

// key and message are byte sequences; throws Base::Exception with the
// library's text when the MAC cannot be computed.
void HmacSha256(const std::string& key, const std::string& message, uint8_t (&out)[32]);

// The save time as stored: UTC, whole seconds, "2026-05-01T08:30:00Z".
std::wstring FormatSaveTime(int64_t now);

// "AntiVirus", "Firewall", "AntiSpyware", or the decimal value for others.
std::wstring ProviderClassName(uint32_t provider);
