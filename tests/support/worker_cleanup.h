#pragma once
// The update worker copy a test started, found by its file name among this
// prefix's processes, and removed with everything it leaves behind.

#include <windows.h>

#include <vector>

namespace Testing {

std::vector<DWORD> WorkerProcessIds();
// True when a worker process appears before the limit.
bool WaitForWorker(DWORD limitMs);

class WorkerCleanup {
public:
    WorkerCleanup();
    ~WorkerCleanup();
    WorkerCleanup(const WorkerCleanup&) = delete;
    WorkerCleanup& operator=(const WorkerCleanup&) = delete;
};

}  // namespace Testing
