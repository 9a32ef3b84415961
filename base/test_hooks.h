#pragma once
// Durations that tests shorten through the environment. Production runs never
// set these variables and get the built-in value.

#include <cstdint>

uint32_t TestableDuration(const wchar_t* variable, uint32_t defaultMs);
