#include "common/clock.h"

#include <time.h>

namespace vrk {

int64_t clock_monotonic_ms() {
  struct timespec ts = {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t clock_unix_now() {
  return static_cast<int64_t>(time(nullptr));
}

}  // namespace vrk
