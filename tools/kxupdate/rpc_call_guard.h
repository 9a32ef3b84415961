#pragma once
/* One UpdateRpc call behind an SEH guard. The RPC runtime reports a failed
 * call (no server: 1722) by raising the status as an SEH exception, and g++ has
 * no __try: this C file catches it with mingw's __try1/__except1. */
#include <windows.h>
#include <rpc.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 0 when the call completed; otherwise the RPC status it raised. */
unsigned long UpdateRpcGuardedInvoke(handle_t binding, const wchar_t *request, wchar_t **response);

#ifdef __cplusplus
}
#endif
