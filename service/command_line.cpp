#include "service/command_line.h"

namespace {
std::wstring FoldAsciiCase(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return text;
}
}  // namespace

bool HasSwitch(const std::wstring& commandLine, const wchar_t* switchText) {
    return FoldAsciiCase(commandLine).find(FoldAsciiCase(switchText)) != std::wstring::npos;
}
