#pragma once
// The stand-alone update worker: a copy of this executable in the download
// cache, "kxclient_service_worker.exe", started with "-autoupdate". At most
// one runs: a process counts as the worker only when its image is that copy
// (a program of the same name elsewhere is not), and launches are handled one
// at a time.

#include <string>

#include "autoupdate/download_cache.h"

// The launch instruction's handler. No result, no exception.
void RespawnWorker();

// True when a process runs the program at workerPath.
bool WorkerProcessExists(const std::wstring& workerPath);

// Copies the running executable over the worker file of the cache; workerPath
// receives the copy's full path. Refused for a refused cache.
bool CopyToWorker(const DownloadCache& cache, std::wstring& workerPath);
