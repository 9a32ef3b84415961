#include "registration/citrix_client_registration.h"

#include <sstream>

#include "base/file_info.h"
#include "base/log.h"
#include "base/test_hooks.h"
#include "registration/client_module.h"
#include "registration/user_root.h"

namespace Citrix {
namespace {

constexpr REGSAM kWrite32 = KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_32KEY;  // 0x203
constexpr REGSAM kRead32 = KEY_READ | KEY_WOW64_32KEY;                          // 0x20219
constexpr DWORD kChangeFilter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;  // 5
constexpr uint32_t kWaitTimeoutMs = 60000;
constexpr uint32_t kSettleMs = 5000;

struct ChannelValue {
    const wchar_t* name;
    const wchar_t* desired;
    const wchar_t* setText;
    const wchar_t* failText;
};

const ChannelValue kChannelValues[] = {
    {L"DriverName", L"Unsupported", L"Successfully set channel DriverName from [%s] to Unsupported",
     L"Failed to set channel DriverName from [%s] error [%S]"},
    {L"DriverNameWin16", L"Unsupported", L"Successfully set channel DriverNameWin16 from [%s] to Unsupported",
     L"Failed to set channel DriverNameWin16 from [%s] error [%S]"},
    {L"DriverNameWin32", L"kxclient.dll", L"Successfully set channel DriverNameWin32 from [%s] to kxclient.dll",
     L"Failed to set channel DriverNameWin32 from [%s] error [%S]"},
};

// True when one of the list's comma-separated entries, without its blanks, is
// the channel: an entry that only contains the name is another driver.
bool ListsChannel(const std::wstring& list) {
    std::wistringstream entries(list);
    for (std::wstring entry; std::getline(entries, entry, L',');) {
        const size_t first = entry.find_first_not_of(L" \t");
        if (first == std::wstring::npos) continue;
        if (entry.substr(first, entry.find_last_not_of(L" \t") + 1 - first) == kChannelName) return true;
    }
    return false;
}

// The list with the channel appended, and the first doubled separator
// left by an untidy list removed.
std::wstring WithChannel(const std::wstring& list) {
    std::wstring updated = list.empty() ? std::wstring(kChannelName) : list + L", " + kChannelName;
    const size_t doubleComma = updated.find(L",,");
    if (doubleComma != std::wstring::npos) updated.erase(doubleComma, 1);
    const size_t spacedComma = updated.find(L", , ");
    if (spacedComma != std::wstring::npos) updated.erase(spacedComma, 2);
    return updated;
}

}  // namespace

ClientRegistrationWin32::ClientRegistrationWin32(Base::Ref<RegistryKey> rootKey)
    : root(std::move(rootKey)),
      waitTimeoutMs(TestableDuration(L"KX_CITRIX_WAIT_MS", kWaitTimeoutMs, 10)),
      settleMs(TestableDuration(L"KX_CITRIX_SETTLE_MS", kSettleMs, 0)) {
    LogVerbose(L"Citrix Registration [%p] created to monitor within root key [%p] path [%s]", this, root->Handle(),
               root->GetPath().c_str());
}

ClientRegistrationWin32::~ClientRegistrationWin32() {
    wait.reset();  // before its event closes
}

Base::Ref<ClientRegistrationWin32> ClientRegistrationWin32::CreateForUser(const Base::Ref<Base::AccessToken>& token) {
    return Base::MakeRef<ClientRegistrationWin32>(OpenUserRoot(token));
}

void ClientRegistrationWin32::Check() {
    LogEnter(nullptr);
    LogVerbose(L"Checking for Citrix Registration [%p] within root key [%p]...", this, root->Handle());
    const std::wstring folder = GetInstallFolder();
    if (folder.empty() || !DirectoryExists(folder)) {
        LogInfo(L"Citrix Registration determined Citrix is not installed");
    } else {
        SetChannelValues();
        AddVirtualDriver();
        CopyClientModule();
    }
    LogVerbose(L"Done checking for Citrix Registration [%p].", this);
    LogExit(nullptr);
}

std::wstring ClientRegistrationWin32::GetInstallFolder() {
    LogEnter(nullptr);
    std::wstring folder;
    try {
        if (!root->SubKeyExists(kInstallKey, kRead32)) {
            LogVerbose(L"Failed to find Citrix installation folder within the registry");
        } else if (root->OpenSubKey(kInstallKey, kRead32)->QueryString(L"InstallFolder", folder)) {
            LogVerbose(L"Found Citrix installation folder [%s]", folder.c_str());
        } else {
            LogWarning(L"Failed to read Citrix installation folder");
        }
    } catch (const Base::Exception& e) {
        LogError(L"Failed to open Citrix installation folder error [%S]", e.what());
        folder.clear();
    }
    LogExit(nullptr);
    return folder;
}

void ClientRegistrationWin32::SetChannelValues() {
    LogEnter(nullptr);
    try {
        const auto channel = root->CreateSubKey(kChannelKey, 0, kWrite32);
        for (const ChannelValue& value : kChannelValues) {
            std::wstring current;
            const bool found = channel->QueryString(value.name, current);
            if (found && current == value.desired) continue;
            try {
                channel->SetString(value.name, value.desired);
                LogInfo(value.setText, current.c_str());
            } catch (const Base::Exception& e) {
                LogError(value.failText, current.c_str(), e.what());
            }
        }
    } catch (const Base::Exception& e) {
        LogError(L"Failed to create Citrix channel key error [%S]", e.what());
    }
    LogExit(nullptr);
}

void ClientRegistrationWin32::AddVirtualDriver() {
    LogEnter(nullptr);
    try {
        const auto ica = root->CreateSubKey(kIca30Key, 0, kWrite32);
        std::wstring current;
        const bool found = ica->QueryString(L"VirtualDriverEx", current);
        if (!found || !ListsChannel(current)) {
            const std::wstring updated = WithChannel(current);
            try {
                ica->SetString(L"VirtualDriverEx", updated);
                LogInfo(L"Successfully set ICA 3.0 VirtualDriverEx from [%s] to [%s]", current.c_str(),
                        updated.c_str());
            } catch (const Base::Exception& e) {
                LogError(L"Failed to set ICA 3.0 VirtualDriverEx from [%s] error [%S] to [%s]", current.c_str(),
                         e.what(), updated.c_str());
            }
        }
    } catch (const Base::Exception& e) {
        LogError(L"Failed to create ICA 3.0 key error [%S]", e.what());
    }
    LogExit(nullptr);
}

void ClientRegistrationWin32::CopyClientModule() {
    LogEnter(nullptr);
    const std::wstring source = FindClientModule(32, false);
    try {
        if (source.empty() || !FileExists(source)) {
            LogError(L"Client [%s] does not exist", source.c_str());
        } else {
            const std::wstring folder = GetInstallFolder();
            if (folder.empty() || !DirectoryExists(folder)) {
                LogVerbose(L"Citrix installation folder [%s] does not exist", folder.c_str());
            } else {
                const std::wstring destination = JoinPath(folder, ClientModule::kFileName);
                if (ShouldReplace(source, destination)) {
                    try {
                        CopyModuleFile(source, destination);
                    } catch (const Base::Exception& e) {
                        LogError(L"Failed to copy [%s] to [%s] error [%S]", source.c_str(), destination.c_str(),
                                 e.what());
                    }
                }
            }
        }
    } catch (const Base::Exception& e) {
        LogError(L"Failed to copy Citrix client dll error [%S]", e.what());
    }
    LogExit(nullptr);
}

void ClientRegistrationWin32::StartMonitoring() {
    LogEnter(nullptr);
    LogVerbose(L"Starting monitoring for Citrix Registration [%p]...", this);
    if (!event) {
        event.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        if (!event) {
            LogError(L"Failed to create Citrix Registration wait event, error [%lu]", GetLastError());
            LogExit(nullptr);
            return;
        }
        if (wait) wait->Cancel();
        wait = std::make_unique<HandleWait>(event.Get());
        LogVerbose(L"Citrix Registration is waiting for handle [%p]", event.Get());
    }
    WatchForChanges();
    LogVerbose(L"Done starting monitoring for Citrix Registration [%p].", this);
    LogExit(nullptr);
}

void ClientRegistrationWin32::WatchForChanges() {
    LogEnter(nullptr);
    watchedKey.Reset();
    if (root->SubKeyExists(kModulesKey, kRead32)) {
        try {
            watchedKey = root->OpenSubKey(kModulesKey, kRead32);
            watchedKey->WatchForChanges(true, kChangeFilter, event.Get());
            LogVerbose(L"Citrix Registration is waiting for registration to change");
        } catch (const Base::Exception& e) {
            LogError(L"Failed to wait for Citrix Registration to change, error [%S]", e.what());
        }
    } else {
        LogVerbose(L"Citrix Registration could not find a module path. Will try again in [%lu] ms", waitTimeoutMs);
    }
    wait->Wait(waitTimeoutMs, Base::Ref<Base::Object>(this),
               [this](const Base::Maybe<Base::Exception>& error, DWORD result) { OnWaitDone(error, result); });
    LogExit(nullptr);
}

void ClientRegistrationWin32::OnWaitDone(const Base::Maybe<Base::Exception>& error, DWORD result) {
    LogEnter(nullptr);
    if (error.HasValue()) {
        LogError(L"Citrix Registration [%p] failed to wait for changes to module path with error [%S]. Will not "
                 L"retry.",
                 this, error.Value().what());
        LogExit(nullptr);
        return;
    }
    if (result == WAIT_OBJECT_0) {
        LogInfo(L"Citrix Registration [%p] detected changes to module path. Waiting for [%lu] before attempting to "
                L"fix.",
                this, settleMs);
        Sleep(settleMs);
    } else {
        LogVerbose(L"Citrix Registration [%p] failed to wait for changes to module path. Likely timeout with result "
                   L"[%lu].",
                   this, result);
    }
    // A broken installation value must not end the watch for good: the next
    // pass may find it mended.
    try {
        Check();
    } catch (const Base::Exception& e) {
        LogError(L"Citrix Registration [%p] failed to check registration error [%S]", this, e.what());
    }
    CopyClientModule();
    WatchForChanges();
    LogExit(nullptr);
}

void ClientRegistrationWin32::StopMonitoring() {
    LogEnter(nullptr);
    if (wait) {
        wait->Cancel();
        wait.reset();
    }
    event.Reset();
    watchedKey.Reset();
    LogVerbose(L"Citrix Registration [%p] stopped monitoring registration", this);
    LogExit(nullptr);
}

}  // namespace Citrix
