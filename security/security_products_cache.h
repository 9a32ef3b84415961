#pragma once
// The cache of the Security Center's products written at logoff and shutdown.

#include <cstdint>

// now: 100 ns units since 1970-01-01 UTC. The caller has COM initialised.
void SaveSecurityProducts(int64_t now);
