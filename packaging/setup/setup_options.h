#pragma once
// The setup program's command line: "/uninstall", "/quiet", "/norestart" and
// "/?", each also with "-" and in any letter case, in any order. The service
// starts an update's setup as "setup.exe /quiet /norestart" and a bundle's
// uninstall command with the same switches appended.

#include <optional>

struct SetupOptions {
    bool uninstall = false;
    bool quiet = false;
    bool noRestart = false;
    bool help = false;
};

// Empty when an argument is not one of the switches.
std::optional<SetupOptions> ParseSetupOptions(int count, const wchar_t* const* arguments);
