// Time since an arbitrary start that never jumps, for waits and bounds.
#pragma once

#include <cstdint>

// 64-bit on every target: on 32-bit ARM, long and time_t are 32 bits wide, and seconds times
// 10^9 would overflow after about 2 s.
int64_t monotonicNanoseconds();
int64_t monotonicMilliseconds();
