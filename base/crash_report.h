#pragma once
// Diagnostics a trace session can ask for: the module list (event 2020) and
// crash handlers that put a minidump into the trace (event 2021).

void WriteModuleList();
void InstallCrashHandlers();
