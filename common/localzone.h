// The process's local time zone, looked up once per command or daemon pass. With TZ unset the
// C library examines /etc/localtime on every mktime; pinning TZ to that same file name after a
// fresh look-up makes later conversions skip it. Children never see a TZ added this way.
#pragma once

#include <stdint.h>

namespace vrk {

// The TZ value set when the user had none: the C library's default zone file, so conversions
// stay exactly what they were without TZ.
inline constexpr const char* kLocalzoneDefaultTz = ":/etc/localtime";

// Looks the local zone up again. With TZ unset (or still holding the value this module set) the
// zone file is examined now, re-read when it changed, and TZ is set to kLocalzoneDefaultTz; a TZ
// the user set is left alone. Call at command start before any conversion, and at the start of
// every daemon pass so that a changed zone file is followed. Not thread-safe (setenv).
void localzone_refresh();

// Counts the look-ups of localzone_refresh that let the C library re-read its zone file: a value
// that changed means conversions may give other answers than before.
uint64_t localzone_generation();

// True while TZ holds the value this process added itself rather than one it inherited.
bool localzone_tz_added();

// True for an environment entry ("NAME=value") that a child must not inherit: the TZ entry this
// process added itself.
bool localzone_hides_entry(const char* entry);

}  // namespace vrk
