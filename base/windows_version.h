#pragma once
// Which Windows the process runs on, as VerifyVersionInfoW answers it: major
// version, minor version and service-pack major each compared with
// greater-or-equal, which compares them as one number, major first (10.0
// passes a test for 6.2, 6.1 does not).

#include <cstdint>

namespace Base {

bool IsWindowsVersionOrLater(uint32_t major, uint32_t minor);

}  // namespace Base
