#include "autoupdate/update_protocol.h"

#include "base/log.h"

// No instruction is understood by this build yet.
void DispatchInstruction(const wchar_t*, wchar_t**) { LogWarning(L"Update instructions are not available"); }
