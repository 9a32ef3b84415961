#pragma once
// UTF-8 <-> UTF-16 for kxupdate's output and instruction files (the console
// code page of base/text.h would lose characters).
#include <string>

std::string ToNarrowUtf8(const std::wstring& text);
std::wstring ToWideUtf8(const std::string& text);
