#pragma once
// Diagnostics a trace session can ask for: the module list (event 2020) and
// crash handlers that put a minidump of the process into the trace (event
// 2021), so that no dump file is ever left on disk.
//
// Vocabulary: the "crash report" is one minidump written by the thread that
// failed, either in the unhandled-exception filter or in the abort-signal
// handler. One report is written per process: the first failing thread owns
// it; another thread failing meanwhile waits for the process to end, and a
// fault inside the report itself ends the process without a second attempt.
// A dump too large for one trace event travels as several consecutive 2021
// events, cut at line ends of its Base64 text; joined in order they are the
// dump's whole text (tools/crashdump turns them back into a .dmp file).

#include <windows.h>

// One event 2020 per loaded module, each while the module-list bit is enabled.
void WriteModuleList();

// A session's capture-state request: installs the crash handlers and writes
// the module list on a pool thread. The request arrives on the platform's
// trace thread, which must not wait on the loader for version resources.
void CaptureStateOnPool();

// Installs AbortHandler for SIGABRT and CrashExceptionFilter as the process's
// unhandled-exception filter; installing again replaces the same handlers.
void InstallCrashHandlers();

// Writes a minidump of the own process through a delete-on-close temporary
// file and sends it as event 2021 when the crash-report bit is enabled.
// exception may be null. Every failure is logged and ends the attempt.
void WriteCrashDump(EXCEPTION_POINTERS* exception);

// The abort-signal handler: writes a dump unless the filter already has.
void __cdecl AbortHandler(int signal);

// The unhandled-exception filter: writes a dump, raises the abort signal and
// returns 0 so that the platform's default crash handling follows.
LONG WINAPI CrashExceptionFilter(EXCEPTION_POINTERS* exception);
