// Millisecond tick counts from the steady clock.
#pragma once

#include <cstdint>

namespace vtx {

// 32-bit milliseconds since an arbitrary start; wraps after about 49.7 days.
uint32_t GetTickTime();
// The same clock without wrapping, for due-time arithmetic.
int64_t GetTickTime64();

}  // namespace vtx
