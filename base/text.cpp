#include "base/text.h"

#include <windows.h>

namespace {
constexpr DWORD kNoBestFitChars = 0x400;  // WC_NO_BEST_FIT_CHARS
}

std::string ToNarrow(const std::wstring& text) {
    const UINT codePage = GetConsoleCP();
    DWORD flags = kNoBestFitChars;
    int size = WideCharToMultiByte(codePage, flags, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size == 0 && GetLastError() == ERROR_INVALID_FLAGS) {
        // UTF-8 and a few other code pages refuse the best-fit flag; they have no best fit anyway.
        flags = 0;
        size = WideCharToMultiByte(codePage, flags, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    }
    if (size <= 1) return std::string();
    std::string result(static_cast<size_t>(size), '\0');
    const int written =
        WideCharToMultiByte(codePage, flags, text.c_str(), -1, &result[0], size, nullptr, nullptr);
    if (written <= 0) return std::string();
    result.resize(static_cast<size_t>(written) - 1);
    return result;
}

std::wstring ToWide(const std::string& text) {
    const UINT codePage = GetConsoleCP();
    const int size = MultiByteToWideChar(codePage, 0, text.c_str(), -1, nullptr, 0);
    if (size <= 1) return std::wstring();
    std::wstring result(static_cast<size_t>(size), L'\0');
    const int written = MultiByteToWideChar(codePage, 0, text.c_str(), -1, &result[0], size);
    if (written <= 0) return std::wstring();
    result.resize(static_cast<size_t>(written) - 1);
    return result;
}
