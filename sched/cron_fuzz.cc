// Fuzz target: cron_parse on arbitrary text, and cron_next on every expression it accepts.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string_view>

#include "sched/cron.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view expr(reinterpret_cast<const char*>(data), size);
  vrk::CronSpec schedule;
  char err[vrk::kCronErrSize];
  int rc = vrk::cron_parse(expr, schedule, err);
  if (rc != 0) {
    if (rc > 0 || err[0] == '\0' || memchr(err, '\0', sizeof(err)) == nullptr) {
      __builtin_trap();
    }
    return 0;
  }
  // 2024-03-31 00:30 UTC: a start next to a clock change wherever TZ points.
  constexpr int64_t kStart = 1711845000;
  int64_t next = vrk::cron_next(schedule, kStart, true);
  if (next != vrk::kCronNoMatch && next < kStart - 60) {
    __builtin_trap();
  }
  return 0;
}
