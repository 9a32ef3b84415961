#pragma once
// Owner of one WinHTTP handle: a session, a connection or a request.

#include <windows.h>
#include <winhttp.h>

#include "base/unique_any.h"

using UniqueWinHttpHandle = Base::UniqueAny<Base::NullHandleTraits<HINTERNET, WinHttpCloseHandle>>;
