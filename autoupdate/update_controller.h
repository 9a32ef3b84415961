#pragma once
// UpdateController carries one update from start to end on a task thread of
// its own: it tries the request's URLs in order until one yields a valid
// installer, optionally uninstalls, installs, cleans the cache, and publishes
// its progress as a status and an error message.
//
// Vocabulary: the controller task is the asynchronous task that runs the one
// controller of the process; currentController is that controller once the
// task runs; controllerLock guards status and errorMessage (and the start of
// the task). The three live until the process ends and are never destroyed,
// so a task still running at process exit never touches freed state and
// nothing at exit waits for it.

#include <atomic>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "autoupdate/installer_file.h"
#include "autoupdate/update_request.h"

class DownloadCache;

class UpdateController {
public:
    UpdateController();
    virtual ~UpdateController();
    UpdateController(const UpdateController&) = delete;
    UpdateController& operator=(const UpdateController&) = delete;

    void Run(const UpdateRequest& request);
    // Status Failed with the message, then the final pause.
    void SetError(const std::wstring& message);

    // Steps of the install phase; each sets its status under controllerLock.
    void Install(const std::wstring& cacheFolder, InstallerFile installer);
    void Uninstall(const std::wstring& cacheFolder);

    // Status and message as one pair; the caller holds controllerLock.
    UpdateResponse ProgressLocked() const;
    const std::wstring& Args() const { return args; }

private:
    // The valid installer, still held open; none after SetError.
    std::optional<InstallerFile> ObtainInstaller(const DownloadCache& cache);
    InstallerFile ObtainFrom(const DownloadCache& cache, const std::wstring& url, const std::wstring& path);
    // True when the file holds bytes of an earlier attempt.
    bool DownloadInto(const DownloadCache& cache, const std::wstring& url, const std::wstring& path,
                      FileDownloader::CachedBytes cached);
    void SetStatus(UpdateStatus value);

    std::vector<std::wstring> urls;
    std::wstring hash;
    std::wstring args;
    bool downgrade = false;
    ProxySettings proxy;
    int32_t status = Downloading;
    std::wstring errorMessage;
};

extern std::atomic<UpdateController*> currentController;
extern std::future<void>& controllerTask;
extern std::mutex& controllerLock;

// Launches the controller task (never deferred). Call with controllerLock held.
std::future<void> StartControllerTask(const UpdateRequest& request);

// The pause after a final status, so a polling client sees it before a
// worker ends.
uint32_t FinalPauseMs();

// What the worker's main loop needs to know about this process's update.
enum class ControllerProgress {
    None,      // no update task was started
    Finished,  // the update task has ended
    Running,
};

// Zero-wait check of the controller task.
ControllerProgress QueryControllerProgress();

namespace UpdateTesting {
// Waits for the task to end and forgets the controller, so one test process
// can run several updates.
void ResetController();
// Called at the start of each download with the url and the cache path. It
// may fail the step with any exception, or stand in for the server: when it
// returns true it has put the file at the path and nothing is fetched (nor
// cleaned in the cache). Null (the default) does nothing.
using StepHook = bool (*)(const std::wstring& url, const std::wstring& path);
void SetDownloadHook(StepHook hook);
// Called with the installer's path once it has passed validation, before it
// is started. Null (the default) does nothing.
using ValidatedHook = void (*)(const std::wstring& path);
void SetValidatedHook(ValidatedHook hook);
}  // namespace UpdateTesting
