#pragma once
// The parsed form of an update instruction and what a reply carries.

#include <cstdint>
#include <string>
#include <vector>

#include "autoupdate/download_client.h"

// Values as they appear in the "status" member of a reply.
enum UpdateStatus : int32_t {
    Downloading = 0,
    Installing = 1,
    Completed = 2,
    Failed = 3,
    Uninstalling = 4,
};

// The "data" member of a begin instruction.
struct UpdateRequest {
    std::vector<std::wstring> urls;
    std::wstring hash;
    std::wstring args;
    bool downgrade = false;
    ProxySettings proxy;
};

struct UpdateResponse {
    int32_t status = Downloading;
    std::wstring errorMessage;
};
