#include "rpc_call_guard.h"

#include "update_rpc.h"

static __thread unsigned long raisedStatus;

/* Called by __C_specific_handler for exceptions raised inside the guarded range.
 * RPC statuses are small Win32 codes; system faults (access violations and the
 * like, 0xC0000000 and up) are not ours to swallow and keep searching. */
LONG UpdateRpcCallFilter(EXCEPTION_POINTERS *info, void *frame)
{
    (void)frame;
    DWORD code = info->ExceptionRecord->ExceptionCode;
    if ((code & 0xF0000000u) != 0) return EXCEPTION_CONTINUE_SEARCH;
    raisedStatus = code;
    return EXCEPTION_EXECUTE_HANDLER;
}

/* __try1 emits fixed local labels: one guarded range per file, never inlined. */
__attribute__((noinline, noclone)) unsigned long UpdateRpcGuardedInvoke(handle_t binding, const wchar_t *request,
                                                                     wchar_t **response)
{
    raisedStatus = 0;
    __try1(UpdateRpcCallFilter)
    Invoke(binding, request, response);
    __except1
    return raisedStatus;
}
