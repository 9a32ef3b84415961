#pragma once
// Command-line switches are found by substring, anywhere in the full command
// line (program path included), with only A to Z folded to lower case. There is
// no tokenising: "-v" is also found inside "-verbose".

#include <string>

bool HasSwitch(const std::wstring& commandLine, const wchar_t* switchText);
