#pragma once
// Base64 text of a byte block, as the trace and the security products cache carry it.

#include <cstddef>
#include <string>

// Standard Base64 with "=" padding, a line feed after every 72 characters and
// after the last line. Throws Base::Exception when the library fails.
std::string Base64Encode(const void* data, size_t length);
