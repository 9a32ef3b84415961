#pragma once
// The local RPC server of the auto-update interface. Failures are logged; the
// caller carries on without the interface.

void StartListening(const wchar_t* endpoint);
void StopListening();
