#include "autoupdate/update_rpc_server.h"

#include "base/log.h"

// The RPC interface is not part of this build yet: say so and serve nothing.
void StartListening(const wchar_t* endpoint) {
    LogWarning(L"Update RPC server is not available; not listening on [%s]", endpoint);
}

void StopListening() {}
