#pragma once
// The JSON instructions of the auto-update interface: what Invoke runs for
// each request it receives.

// Runs one instruction to completion. *response is left null when the
// instruction has no reply, or receives a reply allocated with malloc, which
// the RPC stub releases after sending it.
void DispatchInstruction(const wchar_t* request, wchar_t** response);
