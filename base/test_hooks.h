#pragma once
// Durations that tests shorten through the environment. Production runs never
// set these variables and get the built-in value. A variable can only shorten
// a duration, never below its floor: a value outside [floorMs, defaultMs]
// (or not a number) gives the bound it passed, so the environment can neither
// turn a wait into a busy loop nor make a process wait forever.

#include <cstdint>

uint32_t TestableDuration(const wchar_t* variable, uint32_t defaultMs, uint32_t floorMs);
