// The one monotonic clock used for time-outs, intervals and deadlines inside a process.
#pragma once

#include <stdint.h>

namespace vrk {

// Milliseconds since an arbitrary start (CLOCK_MONOTONIC).
int64_t clock_monotonic_ms();

// Whole seconds of CLOCK_MONOTONIC.
inline int64_t clock_monotonic_s() {
  return clock_monotonic_ms() / 1000;
}

// Wall-clock Unix seconds.
int64_t clock_unix_now();

}  // namespace vrk
