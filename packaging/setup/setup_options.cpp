#include "setup_options.h"

#include <wchar.h>

std::optional<SetupOptions> ParseSetupOptions(int count, const wchar_t* const* arguments) {
    SetupOptions options;
    for (int i = 1; i < count; ++i) {
        const wchar_t* argument = arguments[i];
        if (argument[0] != L'/' && argument[0] != L'-') return std::nullopt;
        const wchar_t* name = argument + 1;
        if (_wcsicmp(name, L"uninstall") == 0) {
            options.uninstall = true;
        } else if (_wcsicmp(name, L"quiet") == 0) {
            options.quiet = true;
        } else if (_wcsicmp(name, L"norestart") == 0) {
            options.noRestart = true;
        } else if (wcscmp(name, L"?") == 0) {
            options.help = true;
        } else {
            return std::nullopt;
        }
    }
    return options;
}
