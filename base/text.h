#pragma once
// Conversions between UTF-16 and the console code page (the ANSI code page
// when the process has no console). A failed conversion yields an empty string.

#include <string>

std::string ToNarrow(const std::wstring& text);
std::wstring ToWide(const std::string& text);
