#pragma once
// Amazon::ClientRegistrationWin32 keeps a current copy of kxclient.dll in the
// "vchan_plugins" folder of an Amazon WorkSpaces installation, picking the
// 32-bit or 64-bit build to match the WorkSpaces program. The installation
// is found through the open command of the "workspaces" class within one
// registry root (the machine, or one user's hive); the module registration
// and the cleanup list of copies are always the machine's. It checks once
// when asked and then every minute on a thread-pool timer that each pass
// re-arms, so passes never overlap and there is no failure state.

#include <windows.h>

#include <cstdint>
#include <string>

#include "base/access_token.h"
#include "base/object.h"
#include "base/registry_key.h"
#include "base/timer.h"

namespace Amazon {

constexpr wchar_t kOpenCommandKey[] = L"SOFTWARE\\Classes\\workspaces\\shell\\open\\command";
constexpr wchar_t kPluginsFolder[] = L"vchan_plugins";

enum WorkSpacesPlatform : uint32_t { kPlatformUnknown = 0, kPlatform32 = 1, kPlatform64 = 2 };

struct WorkSpacesInstallation {
    bool found = false;
    uint32_t platform = kPlatformUnknown;
    std::wstring folder;  // folder of the WorkSpaces program
};

class ClientRegistrationWin32 : public Base::Object {
public:
    explicit ClientRegistrationWin32(Base::Ref<RegistryKey> root);
    static Base::Ref<ClientRegistrationWin32> CreateForUser(const Base::Ref<Base::AccessToken>& token);

    void Check();
    void StartMonitoring();
    // Waits for a running pass; never call it from inside one.
    void StopMonitoring();

    WorkSpacesInstallation LocateWorkSpaces();
    void CopyToWorkSpaces(const WorkSpacesInstallation& installation);

private:
    ~ClientRegistrationWin32() override = default;

    void ScheduleNextPass();
    void OnTimer();

    Base::Ref<RegistryKey> root;
    Base::Ref<Timer> timer;
    const uint32_t intervalMs;
};

}  // namespace Amazon
