#pragma once
// The seven process-wide log operations. A line goes to the trace provider when
// a trace session enables its level, and to standard output in console mode up
// to the console threshold. Formats follow the platform's wide printf rules:
// "%s" is a wide string, "%S" a narrow one. A null format is an empty message.
// Logging never fails towards its caller.

#include <cstdint>

void LogError(const wchar_t* format, ...);    // level 1
void LogWarning(const wchar_t* format, ...);  // level 2
void LogInfo(const wchar_t* format, ...);     // level 3
void LogVerbose(const wchar_t* format, ...);  // level 4
void LogEnter(const wchar_t* format, ...);    // level 5
void LogExit(const wchar_t* format, ...);     // level 6
void LogDebug(const wchar_t* format, ...);    // level 7

// Registers the provider and fills ProcessImageName, once per process.
void EnsureLoggingInitialised();

// File-name part of the executable's path, set by the one-time initialisation.
const wchar_t* ProcessImageName();

// Console output is switched on once, by the entry point, before any other
// thread exists. Threshold 3 shows ERROR to INFO, 4 adds VERBOSE.
void EnableConsoleOutput(int32_t threshold);

namespace Base::Testing {
// Lets in-process tests switch console output on and off again.
void SetConsoleOutput(uint32_t enabled, int32_t threshold);
}
