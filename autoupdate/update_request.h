#pragma once
// The parsed form of an update instruction and what a reply carries.

#include <cstdint>
#include <string>
#include <vector>

#include "autoupdate/download_client.h"
#include "autoupdate/update_rpc_names.h"

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
