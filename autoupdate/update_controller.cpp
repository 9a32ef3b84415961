#include "autoupdate/update_controller.h"

#include <windows.h>

#include <chrono>

#include "autoupdate/download_cache.h"
#include "autoupdate/download_validation.h"
#include "autoupdate/installer.h"
#include "autoupdate/url_parts.h"
#include "base/exception.h"
#include "base/log.h"
#include "base/test_hooks.h"
#include "base/text.h"

// Intentionally never destroyed: a task still running when the process ends
// (service stop during an update) keeps valid state, and no static
// destructor joins the task at exit.
std::atomic<UpdateController*> currentController{nullptr};
std::future<void>& controllerTask = *new std::future<void>;
std::mutex& controllerLock = *new std::mutex;

namespace {

constexpr uint32_t kFinalPauseMs = 5000;

std::atomic<UpdateTesting::StepHook> downloadHook{nullptr};
std::atomic<UpdateTesting::ValidatedHook> validatedHook{nullptr};
constexpr size_t kMaxMessageLength = AutoUpdateException::kTextCapacity - 1;

// An exception text as it goes into errorMessage: widened, at most 254 units.
std::wstring WidenMessage(const char* text) {
    std::wstring wide = ToWide(text ? text : "");
    if (wide.size() > kMaxMessageLength) wide.resize(kMaxMessageLength);
    return wide;
}

void RunControllerTask(const UpdateRequest& request) {
    auto* controller = new UpdateController;
    currentController.store(controller);
    // Only AutoUpdateException is an expected step failure; anything else
    // (a library's own exception, memory) must still end in a final status.
    try {
        controller->Run(request);
    } catch (const std::exception& e) {
        LogError(L"Update controller stopped by an unexpected failure error [%S]", e.what());
        controller->SetError(WidenMessage(e.what()));
    } catch (...) {
        LogError(L"Update controller stopped by an unexpected failure error [%S]", "unknown exception");
        controller->SetError(L"Update failed with an unknown error");
    }
}

}  // namespace

uint32_t FinalPauseMs() { return TestableDuration(L"KX_UPDATE_PAUSE_MS", kFinalPauseMs, 0); }

UpdateController::UpdateController() = default;

UpdateController::~UpdateController() = default;

UpdateResponse UpdateController::ProgressLocked() const {
    UpdateResponse response;
    response.status = status;
    response.errorMessage = errorMessage;
    return response;
}

void UpdateController::SetStatus(UpdateStatus value) {
    std::lock_guard<std::mutex> lock(controllerLock);
    status = value;
}

void UpdateController::SetError(const std::wstring& message) {
    LogEnter(nullptr);
    {
        std::lock_guard<std::mutex> lock(controllerLock);
        status = Failed;
        errorMessage = message;
    }
    Sleep(FinalPauseMs());
    LogExit(nullptr);
}

bool UpdateController::DownloadInto(const DownloadCache& cache, const std::wstring& url, const std::wstring& path,
                                    FileDownloader::CachedBytes cached) {
    LogEnter(nullptr);
    LogInfo(L"Beginning download");
    bool resumed = false;
    const auto hook = downloadHook.load();
    if (hook == nullptr || !hook(url, path)) {
        // At most one partial download in the cache: the one this url resumes.
        cache.RemoveInstallersExcept(path);
        FileDownloader downloader(proxy, path);
        resumed = downloader.Download(url, cached);
    }
    LogInfo(L"Completed download");
    LogExit(nullptr);
    return resumed;
}

// A resumed file may join two versions of the installer, or a part that the
// server put in the wrong place: once it fails validation, the url gets one
// more download from the first byte.
InstallerFile UpdateController::ObtainFrom(const DownloadCache& cache, const std::wstring& url,
                                          const std::wstring& path) {
    const bool resumed = DownloadInto(cache, url, path, FileDownloader::CachedBytes::Resume);
    try {
        return ValidateDownload(hash, path);
    } catch (const AutoUpdateException& e) {
        if (!resumed) throw;
        LogWarning(L"Resumed download failed validation, downloading it again from the start error [%S]", e.what());
        DownloadInto(cache, url, path, FileDownloader::CachedBytes::Discard);
        return ValidateDownload(hash, path);
    }
}

void UpdateController::Install(const std::wstring& cacheFolder, InstallerFile installer) {
    LogEnter(nullptr);
    LogInfo(L"Beginning install");
    SetStatus(Installing);
    RunUpdateInstaller(cacheFolder, installer, args);
    LogInfo(L"Completed install");
    LogExit(nullptr);
}

void UpdateController::Uninstall(const std::wstring& cacheFolder) {
    LogEnter(nullptr);
    LogInfo(L"Beginning uninstall");
    SetStatus(Uninstalling);
    RemoveInstalledClient(cacheFolder, args);
    LogInfo(L"Completed uninstall");
    LogExit(nullptr);
}

std::optional<InstallerFile> UpdateController::ObtainInstaller(const DownloadCache& cache) {
    for (size_t i = 0; i < urls.size(); ++i) {
        LogVerbose(L"Attempting download using the following url: [%s]", WithoutPasswords(urls[i]).c_str());
        const std::wstring urlHash = Sha256OfText(urls[i]);
        const std::wstring path = cache.CachePathFor(hash, urlHash);
        try {
            return ObtainFrom(cache, urls[i], path);
        } catch (const AutoUpdateException& e) {
            if (i + 1 < urls.size()) {
                LogError(L"Failed to obtain valid binary from the following url: [%s]",
                         WithoutPasswords(urls[i]).c_str());
                continue;
            }
            SetError(WidenMessage(e.what()));
            LogError(L"Update controller failed to download and validate binary.");
            return std::nullopt;
        }
    }
    // A request without any URL cannot yield an installer.
    SetError(L"No download url was provided");
    LogError(L"Update controller failed to download and validate binary.");
    return std::nullopt;
}

void UpdateController::Run(const UpdateRequest& request) {
    LogEnter(nullptr);
    urls = request.urls;
    hash = request.hash;
    args = request.args;
    downgrade = request.downgrade;
    proxy = request.proxy;

    DownloadCache cache;
    // Nothing is ever downloaded into, run from or cleaned in another folder.
    if (const char* refusal = cache.Refusal()) {
        SetError(WidenMessage(refusal));
        LogError(L"Update controller failed to download and validate binary.");
        return;
    }
    std::optional<InstallerFile> installer = ObtainInstaller(cache);
    if (!installer) return;
    if (const auto hook = validatedHook.load()) hook(installer->Path());

    try {
        // The folder may have been swapped for a reparse point meanwhile.
        if (const char* refusal = cache.Refusal()) throw AutoUpdateException(refusal);
        if (downgrade) Uninstall(cache.Folder());
        Install(cache.Folder(), std::move(*installer));
    } catch (const AutoUpdateException& e) {
        SetError(WidenMessage(e.what()));
        LogError(L"Update controller failed to install binary.");
        return;
    }

    cache.CleanCache();

    LogEnter(nullptr);
    SetStatus(Completed);
    Sleep(FinalPauseMs());
    LogExit(nullptr);
    LogExit(nullptr);
}

std::future<void> StartControllerTask(const UpdateRequest& request) {
    return std::async(std::launch::async, [request] { RunControllerTask(request); });
}

ControllerProgress QueryControllerProgress() {
    std::lock_guard<std::mutex> lock(controllerLock);
    if (!controllerTask.valid()) return ControllerProgress::None;
    const auto state = controllerTask.wait_for(std::chrono::seconds(0));
    return state == std::future_status::timeout ? ControllerProgress::Running : ControllerProgress::Finished;
}

namespace UpdateTesting {
void ResetController() {
    std::future<void> task;
    {
        std::lock_guard<std::mutex> lock(controllerLock);
        task = std::move(controllerTask);
    }
    if (task.valid()) task.wait();
    delete currentController.exchange(nullptr);
}

void SetDownloadHook(StepHook hook) { downloadHook.store(hook); }

void SetValidatedHook(ValidatedHook hook) { validatedHook.store(hook); }
}  // namespace UpdateTesting
