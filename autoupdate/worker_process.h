#pragma once
// The stand-alone update worker: a copy of this executable in the download
// cache, "kxclient_service_worker.exe", started with "-autoupdate". At most
// one runs: any process of that name counts, whoever started it.

#include <string>

// The launch instruction's handler. No result, no exception.
void RespawnWorker();

bool WorkerProcessExists();

// Copies the running executable over the worker file; workerPath receives
// the copy's full path.
bool CopyToWorker(std::wstring& workerPath);

extern const wchar_t kWorkerFileName[];
