#pragma once
// What both ends of the UpdateRpc interface agree on: the two local endpoints,
// the instruction ids of a request and the status values of a reply.

#include <cstdint>

// ncalrpc endpoints: the service's, and the stand-alone update worker's.
inline constexpr wchar_t kServiceRpcEndpoint[] = L"kxclient-service-rpc";
inline constexpr wchar_t kWorkerRpcEndpoint[] = L"kxclient-autoupdate-rpc";

// The "id" member of a request.
inline constexpr wchar_t kBeginInstruction[] = L"beginAutoUpdate";
inline constexpr wchar_t kQueryInstruction[] = L"queryAutoUpdateProgress";
inline constexpr wchar_t kLaunchInstruction[] = L"launchAutoUpdate";

// Values as they appear in the "status" member of a reply.
enum UpdateStatus : int32_t {
    Downloading = 0,
    Installing = 1,
    Completed = 2,
    Failed = 3,
    Uninstalling = 4,
};
