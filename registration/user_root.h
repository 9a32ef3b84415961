#pragma once
// The registry root of a session's user: the subkey of HKEY_USERS named by
// the string form of the user's SID, as the per-user monitors work in it.

#include "base/access_token.h"
#include "base/registry_key.h"

Base::Ref<RegistryKey> OpenUserRoot(const Base::Ref<Base::AccessToken>& token);
