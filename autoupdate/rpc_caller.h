#pragma once
// Who made the RPC call the current thread serves, for the trace: the account
// name ("DOMAIN\user") of the client's identity as the runtime impersonates it,
// or else of the client process's token (ncalrpc tells its process id even
// when the client set no authentication). "unknown" outside a call or when
// neither can be read.

#include <string>

std::wstring RpcCallerAccountName();
