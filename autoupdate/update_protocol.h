#pragma once
// The JSON instructions of the auto-update interface: what Invoke runs for
// each request it receives. A request is one UTF-16 JSON object whose "id"
// names the instruction ("beginAutoUpdate", "queryAutoUpdateProgress",
// "launchAutoUpdate"); a reply is {"data":{"status":N[,"errorMessage":"..."]}}.

#include <string>

#include "autoupdate/update_request.h"

// Runs one instruction to completion. *response is left null when the
// instruction has no reply, or receives a reply allocated with malloc, which
// the RPC stub releases after sending it. Never throws.
void DispatchInstruction(const wchar_t* request, wchar_t** response);

// The request's string "id", or empty.
std::wstring ParseInstructionId(const wchar_t* request);
// Fills the begin instruction's parameters; false when the request cannot be
// read as one (the failure is logged).
bool ParseUpdateRequest(const wchar_t* request, UpdateRequest& updateRequest);

void HandleBegin(const wchar_t* request, wchar_t** response);
void HandleQuery(wchar_t** response);
void WriteResponse(wchar_t** response, const UpdateResponse& updateResponse);
