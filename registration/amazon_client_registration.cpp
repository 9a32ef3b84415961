#include "registration/amazon_client_registration.h"

#include <shellapi.h>

#include "base/exception.h"
#include "base/file_info.h"
#include "base/log.h"
#include "base/test_hooks.h"
#include "base/unique_any.h"
#include "registration/client_module.h"
#include "registration/user_root.h"

namespace Amazon {
namespace {

constexpr REGSAM kRead64 = KEY_READ;  // 0x20019: the 64-bit view for this process
constexpr uint32_t kIntervalMs = 60000;

// The program's folder: its path without the last piece, single separators;
// a leading "\\" (a share, or a "\\?\" path) stays.
std::wstring ProgramFolder(const std::wstring& program) {
    const std::vector<std::wstring> pieces = SplitPath(program);
    if (pieces.empty()) return program;
    std::wstring folder = program.rfind(L"\\\\", 0) == 0 ? L"\\\\" : L"";
    for (size_t i = 0; i + 1 < pieces.size(); ++i) {
        if (i > 0) folder += L"\\";
        folder += pieces[i];
    }
    return folder;
}

// CommandLineToArgvW's array, freed on every way out.
struct ArgumentList {
    explicit ArgumentList(const std::wstring& commandLine)
        : memory(CommandLineToArgvW(commandLine.c_str(), &count)) {}
    wchar_t** Arguments() const { return static_cast<wchar_t**>(memory.Get()); }

    int count = 0;
    Base::UniqueLocalMemory memory;
};

}  // namespace

ClientRegistrationWin32::ClientRegistrationWin32(Base::Ref<RegistryKey> rootKey)
    : root(std::move(rootKey)),
      timer(Base::MakeRef<Timer>()),
      intervalMs(TestableDuration(L"KX_AMAZON_INTERVAL_MS", kIntervalMs, 10)) {
    LogVerbose(L"Amazon WorkSpaces Registration [%p] created to monitor within root key [%p] path [%s]", this,
               root->Handle(), root->GetPath().c_str());
}

Base::Ref<ClientRegistrationWin32> ClientRegistrationWin32::CreateForUser(const Base::Ref<Base::AccessToken>& token) {
    return Base::MakeRef<ClientRegistrationWin32>(OpenUserRoot(token));
}

void ClientRegistrationWin32::Check() {
    LogEnter(nullptr);
    LogVerbose(L"Checking for Amazon WorkSpaces Registration [%p] within root key [%p]...", this, root->Handle());
    const WorkSpacesInstallation installation = LocateWorkSpaces();
    if (installation.found) {
        CopyToWorkSpaces(installation);
    } else {
        LogVerbose(L"Amazon WorkSpaces Registration determined WorkSpaces is not installed");
    }
    LogVerbose(L"Done checking for Amazon WorkSpaces Registration [%p].", this);
    LogExit(nullptr);
}

WorkSpacesInstallation ClientRegistrationWin32::LocateWorkSpaces() {
    LogEnter(nullptr);
    WorkSpacesInstallation installation;
    try {
        std::wstring command;
        if (!root->SubKeyExists(kOpenCommandKey, kRead64)) {
            LogVerbose(L"Amazon WorkSpaces open command was not found");
        } else if (root->OpenSubKey(kOpenCommandKey, kRead64)->QueryString(L"", command) && !command.empty()) {
            const ArgumentList list(command);
            if (list.Arguments() == nullptr || list.count < 1) {
                LogError(L"Unable to interpret Amazon WorkSpaces open command [%s] error [%lu]", command.c_str(),
                         GetLastError());
            } else {
                const std::wstring program = list.Arguments()[0];
                const std::wstring folder = ProgramFolder(program);
                if (!program.empty() && FileExists(program)) {
                    LogVerbose(L"Found Amazon WorkSpaces all users open command [%s] path [%s]", command.c_str(),
                               folder.c_str());
                    installation.found = true;
                    installation.folder = folder;
                    DWORD type = 0;
                    if (GetBinaryTypeW(program.c_str(), &type)) {
                        if (type == SCS_64BIT_BINARY) {
                            LogVerbose(L"Amazon WorkSpaces binary [%s] is 64-bit", program.c_str());
                            installation.platform = kPlatform64;
                        } else if (type == SCS_32BIT_BINARY) {
                            LogVerbose(L"Amazon WorkSpaces binary [%s] is 32-bit", program.c_str());
                            installation.platform = kPlatform32;
                        } else {
                            LogVerbose(L"Amazon WorkSpaces binary [%s] is unknown platform [%u]", program.c_str(),
                                       type);
                        }
                    }
                } else {
                    LogError(L"Found Amazon WorkSpaces all users open command [%s] path [%s] but file was not found",
                             command.c_str(), folder.c_str());
                }
            }
        }
    } catch (const Base::Exception& e) {
        LogError(L"Failed to open Amazon WorkSpaces installation folder error [%S]", e.what());
    }
    LogExit(nullptr);
    return installation;
}

void ClientRegistrationWin32::CopyToWorkSpaces(const WorkSpacesInstallation& installation) {
    LogEnter(nullptr);
    try {
        if (!installation.found) {
            LogWarning(L"Unable to copy client to Amazon WorkSpaces when not installed");
        } else if (installation.platform != kPlatform32 && installation.platform != kPlatform64) {
            LogWarning(L"Unable to copy Amazon WorkSpaces client for unknown platform");
        } else {
            const std::wstring source = FindClientModule(installation.platform == kPlatform32 ? 32 : 64, true);
            const std::wstring plugins = JoinPath(installation.folder, kPluginsFolder);
            if (source.empty()) {
                // FindClientModule has said why.
            } else if (!DirectoryExists(plugins)) {
                LogVerbose(L"Amazon WorkSpaces vchan_plugins directory [%s] does not exist", plugins.c_str());
            } else {
                const std::wstring destination = JoinPath(plugins, ClientModule::kFileName);
                if (ShouldReplace(source, destination)) {
                    CopyModuleFile(source, destination);
                    UpdateCleanupList(destination);
                }
            }
        }
    } catch (const Base::Exception& e) {
        LogError(L"Failed to copy Amazon WorkSpaces client dll error [%S]", e.what());
    }
    LogExit(nullptr);
}

void ClientRegistrationWin32::ScheduleNextPass() {
    timer->Schedule(intervalMs, Base::MakeCallback<void()>(Base::Ref<Base::Object>(this), [this] { OnTimer(); }));
}

void ClientRegistrationWin32::StartMonitoring() {
    LogEnter(nullptr);
    LogVerbose(L"Starting monitoring for Amazon WorkSpaces Registration [%p]...", this);
    ScheduleNextPass();
    LogVerbose(L"Done starting monitoring for Amazon WorkSpaces Registration [%p].", this);
    LogExit(nullptr);
}

void ClientRegistrationWin32::OnTimer() {
    LogEnter(nullptr);
    LogVerbose(L"Amazon WorkSpaces Registration [%p] timeout expired. Checking for client DLL.", this);
    // The pool's edge: whatever a pass meets, the next one is scheduled.
    try {
        const WorkSpacesInstallation installation = LocateWorkSpaces();
        if (installation.found) CopyToWorkSpaces(installation);
    } catch (const std::exception& e) {
        LogError(L"Amazon WorkSpaces Registration [%p] failed to check registration error [%S]", this, e.what());
    }
    try {
        ScheduleNextPass();
    } catch (const std::exception& e) {
        // Nothing may escape a timer callback; without a timer the monitor rests.
        LogError(L"Amazon WorkSpaces Registration [%p] failed to schedule the next check error [%S]", this, e.what());
    }
    LogExit(nullptr);
}

void ClientRegistrationWin32::StopMonitoring() {
    LogEnter(nullptr);
    timer->Cancel();
    LogVerbose(L"Amazon WorkSpaces Registration [%p] stopped monitoring registration", this);
    LogExit(nullptr);
}

}  // namespace Amazon
