/* The RPC stubs' memory routines: the C runtime's malloc and free. A reply
 * handed to the server stub is released by it with free after marshalling, so
 * replies must come from malloc. */
#include <rpc.h>
#include <stdlib.h>

void *__RPC_USER MIDL_user_allocate(SIZE_T size) { return malloc(size); }

void __RPC_USER MIDL_user_free(void *memory) { free(memory); }
