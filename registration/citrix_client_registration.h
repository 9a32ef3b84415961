#pragma once
// Citrix::ClientRegistrationWin32 keeps the product's virtual channel
// registered with the Citrix ICA client within one registry root (the
// machine, or one user's hive):
//   channel key  - "...\Modules\Veltrastone" with the three driver names;
//   driver list  - "VirtualDriverEx" of "...\Modules\ICA 3.0", which must name
//                  the channel;
//   module copy  - the 32-bit kxclient.dll in the client's "InstallFolder".
// Every Citrix key lives in the 32-bit registry view, where the 32-bit client
// reads it. A pass ("Check") repairs whatever is wrong; after StartMonitoring
// a change anywhere below the Modules key, or a minute without one, triggers
// the next pass on a thread-pool thread (after a settling pause when
// something changed). Passes never overlap: the watch is re-armed only at the
// end of a pass. A failed wait leaves the monitor dead until StopMonitoring.

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "base/access_token.h"
#include "base/exception.h"
#include "base/handle_wait.h"
#include "base/object.h"
#include "base/registry_key.h"
#include "base/unique_any.h"

namespace Citrix {

constexpr wchar_t kModulesKey[] = L"SOFTWARE\\Citrix\\ICA Client\\Engine\\Configuration\\Advanced\\Modules";
constexpr wchar_t kChannelKey[] =
    L"SOFTWARE\\Citrix\\ICA Client\\Engine\\Configuration\\Advanced\\Modules\\Veltrastone";
constexpr wchar_t kIca30Key[] = L"SOFTWARE\\Citrix\\ICA Client\\Engine\\Configuration\\Advanced\\Modules\\ICA 3.0";
constexpr wchar_t kInstallKey[] = L"SOFTWARE\\Citrix\\Install\\ICA Client";
constexpr wchar_t kChannelName[] = L"Veltrastone";

class ClientRegistrationWin32 : public Base::Object {
public:
    explicit ClientRegistrationWin32(Base::Ref<RegistryKey> root);
    static Base::Ref<ClientRegistrationWin32> CreateForUser(const Base::Ref<Base::AccessToken>& token);

    void Check();
    void StartMonitoring();
    // Waits for a running pass, including its settling pause. Never call it
    // from inside a pass.
    void StopMonitoring();

    // "Client Registration" steps, each containing its own failures.
    std::wstring GetInstallFolder();
    void SetChannelValues();
    void AddVirtualDriver();
    void CopyClientModule();

    // The wait on the change event while monitoring, or null. Tests deliver
    // through it results the platform here never produces.
    HandleWait* ChangeWait() const { return wait.get(); }

private:
    ~ClientRegistrationWin32() override;

    void WatchForChanges();
    void OnWaitDone(const Base::Maybe<Base::Exception>& error, DWORD result);

    Base::Ref<RegistryKey> root;
    Base::Ref<RegistryKey> watchedKey;
    std::unique_ptr<HandleWait> wait;  // waits on `event`; exists while monitoring
    Base::UniqueHandle event;
    const uint32_t waitTimeoutMs;
    const uint32_t settleMs;
};

}  // namespace Citrix
