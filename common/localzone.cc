#include "common/localzone.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

namespace vrk {
namespace {

// Whether the TZ in the environment is ours. Compared with the value as well, so that a TZ set
// later by anyone else (tests do) is never taken for ours.
bool g_tz_added = false;
uint64_t g_generation = 0;

}  // namespace

uint64_t localzone_generation() {
  return g_generation;
}

bool localzone_tz_added() {
  if (!g_tz_added) {
    return false;
  }
  const char* tz = getenv("TZ");
  return tz != nullptr && strcmp(tz, kLocalzoneDefaultTz) == 0;
}

bool localzone_hides_entry(const char* entry) {
  return entry != nullptr && strncmp(entry, "TZ=", 3) == 0 &&
         strcmp(entry + 3, kLocalzoneDefaultTz) == 0 && localzone_tz_added();
}

void localzone_refresh() {
  if (getenv("TZ") != nullptr && !localzone_tz_added()) {
    // The user's own TZ: the C library compares it with the previous value and stops there.
    g_tz_added = false;
    return;
  }
  // With TZ unset, tzset stats the default zone file and re-reads it if it changed. Setting TZ
  // afterwards to the same file name, which the C library remembers as the value just used,
  // makes every later tzset (each mktime calls one) return at once.
  unsetenv("TZ");
  g_tz_added = false;
  tzset();
  ++g_generation;
  if (setenv("TZ", kLocalzoneDefaultTz, 1) == 0) {
    g_tz_added = true;
  }
}

}  // namespace vrk
