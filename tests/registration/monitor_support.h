#pragma once
// Helpers for the monitor tests: object addresses as the log prints them,
// and counting captured lines.
#include <windows.h>
#include <strsafe.h>

#include <string>
#include <vector>

#include "support/event_capture.h"

inline std::wstring Address(const void* object) {
    wchar_t text[32];
    StringCchPrintfW(text, 32, L"%p", object);
    return text;
}

inline size_t CountContaining(const std::vector<std::wstring>& lines, const std::wstring& part) {
    size_t count = 0;
    for (const auto& line : lines) count += line.find(part) != std::wstring::npos;
    return count;
}

inline size_t CountContaining(const Testing::EventCapture& capture, const std::wstring& part) {
    return CountContaining(capture.Messages(), part);
}
