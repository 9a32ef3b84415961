#pragma once
// The JSON texts a client sends on UpdateRpc and the progress replies it reads.
// Instructions are built with RapidJSON's writer, so every string is escaped.

#include <optional>
#include <string>
#include <vector>

struct BeginOptions {
    std::vector<std::wstring> urls;
    std::wstring hash;
    std::wstring args;
    bool downgrade = false;
    std::optional<std::wstring> proxy;
    std::optional<std::wstring> proxyBypass;
    std::optional<std::wstring> autoConfigUrl;
    bool autoDetect = true;
};

std::wstring BeginInstruction(const BeginOptions& options);
std::wstring QueryInstruction();
std::wstring LaunchInstruction();

struct UpdateProgress {
    int status = 0;
    std::wstring errorMessage;
};

// A reply of the shape {"data":{"status":N[,"errorMessage":"..."]}}, or nothing.
std::optional<UpdateProgress> ParseProgress(const std::wstring& reply);

// "Downloading", "Installing", "Completed", "Failed", "Uninstalling", or "status N".
std::wstring StatusName(int status);
