// Five-field cron schedules: CronSpec holds one flag per possible value of each field, and
// cron_next finds the next matching local minute within a fixed horizon.
#pragma once

#include <stdint.h>

#include <span>
#include <string_view>
#include <type_traits>

namespace vrk {

// Flag layout: minute 0..59, hour 0..23, day of month 0..31 (0 unused), month 0..12 (0 unused),
// day of week 0..7 (0 and 7 are Sunday).
inline constexpr int kCronMinuteOffset = 0;
inline constexpr int kCronHourOffset = 60;
inline constexpr int kCronDomOffset = 84;
inline constexpr int kCronMonthOffset = 116;
inline constexpr int kCronDowOffset = 129;
inline constexpr int kCronFlagCount = 137;
static_assert(kCronDowOffset + 8 == kCronFlagCount);

inline constexpr int kCronHorizonDays = 2929;
inline constexpr int64_t kCronNoMatch = -1;
inline constexpr int kCronErrSize = 128;

struct CronSpec {
  uint8_t flags[kCronFlagCount] = {};
};
static_assert(std::is_trivially_copyable_v<CronSpec>);

// Parses expr into schedule (cleared first). 0, or -1 with a message in err (128 bytes suffice
// for the loader, which cuts longer ones).
[[nodiscard]] int cron_parse(std::string_view expr, CronSpec& schedule, std::span<char> err);

// The next matching local time at or after the start of t's minute (inclusive) or of the next
// minute (not inclusive), in Unix seconds; kCronNoMatch when none within kCronHorizonDays.
int64_t cron_next(const CronSpec& schedule, int64_t t, bool inclusive);

}  // namespace vrk
