#include "sched/cron.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <random>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_tz.h"

namespace vrk {
namespace {

// Unix seconds of a UTC calendar time.
int64_t utc(int y, int mo, int d, int h, int mi, int s = 0) {
  struct tm tm = {};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  return static_cast<int64_t>(timegm(&tm));
}

std::string local_text(int64_t t) {
  if (t == kCronNoMatch) {
    return "no match";
  }
  time_t tt = static_cast<time_t>(t);
  struct tm tm;
  char buf[64];
  localtime_r(&tt, &tm);
  strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S %Z", &tm);
  return std::string(buf) + " (" + std::to_string(t) + ")";
}

CronSpec parse_ok(const char* expr) {
  CronSpec schedule;
  char err[kCronErrSize];
  EXPECT_EQ(cron_parse(expr, schedule, err), 0) << expr << ": " << err;
  return schedule;
}

// Sets TZ for one test and puts the previous value back afterwards.
class CronTz : public ::testing::Test {
 protected:
  void use_tz(const char* tz) { TestTz::set(tz); }

 private:
  TestTz tz_{"UTC"};
};

TEST(CronParse, Messages) {
  const std::string long_ok = "* * * * 0" + std::string(123 * 2, ',');  // 255 bytes
  const std::string too_long = long_ok + ",";
  const std::string wide_field = std::string(200, '9') + " * * * *";
  struct Case {
    std::string input;
    int want_rc;
    std::string want_msg;
  } cases[] = {
      {"", -1, "expected 5 fields (minute hour day-of-month month day-of-week), got 0"},
      {" \t  ", -1, "expected 5 fields (minute hour day-of-month month day-of-week), got 0"},
      {"* * * *", -1, "expected 5 fields (minute hour day-of-month month day-of-week), got 4"},
      {"* * * * * *", -1, "expected 5 fields (minute hour day-of-month month day-of-week), got 6"},
      {"1 2 3 4 5 6 7", -1,
       "expected 5 fields (minute hour day-of-month month day-of-week), got 7"},
      {"*\n* * * *", -1, "expected 5 fields (minute hour day-of-month month day-of-week), got 4"},
      {long_ok, 0, ""},
      {too_long, -1, "cron expression too long"},
      {"  *\t*  * *   *  ", 0, ""},
      {"60 * * * *", -1, "invalid minute field '60'"},
      {"1,x,3 * * * *", -1, "invalid minute field '1,x,3'"},
      {"*/0 * * * *", -1, "invalid minute field '*/0'"},
      {"5-1 * * * *", -1, "invalid minute field '5-1'"},
      {"-5 * * * *", -1, "invalid minute field '-5'"},
      {"5- * * * *", -1, "invalid minute field '5-'"},
      {"+5 * * * *", -1, "invalid minute field '+5'"},
      {"*/ * * * *", -1, "invalid minute field '*/'"},
      {"/5 * * * *", -1, "invalid minute field '/5'"},
      {"5/0 * * * *", -1, "invalid minute field '5/0'"},
      {"1-2-3 * * * *", -1, "invalid minute field '1-2-3'"},
      {"*/5/2 * * * *", -1, "invalid minute field '*/5/2'"},
      {"*-5 * * * *", -1, "invalid minute field '*-5'"},
      {"** * * * *", -1, "invalid minute field '**'"},
      {",,, * * * *", -1, "invalid minute field ',,,'"},
      {"99999999999999999999 * * * *", -1, "invalid minute field '99999999999999999999'"},
      {"x * * * *", -1, "invalid minute field 'x'"},
      {"x x * * *", -1, "invalid minute field 'x'"},
      {"* 24 * * *", -1, "invalid hour field '24'"},
      {"* * 0 * *", -1, "invalid day-of-month field '0'"},
      {"* * 32 * *", -1, "invalid day-of-month field '32'"},
      {"* * * 0 *", -1, "invalid month field '0'"},
      {"* * * jan *", -1, "invalid month field 'jan'"},
      {"* * * 13 *", -1, "invalid month field '13'"},
      {"* * * * 8", -1, "invalid day-of-week field '8'"},
      {"* * * * mon", -1, "invalid day-of-week field 'mon'"},
      // The message is cut to the loader's buffer.
      {wide_field, -1, "invalid minute field '" + std::string(kCronErrSize - 23, '9')},
      {"0-59 0-23 1-31 1-12 0-7", 0, ""},
      {",5, * * * *", 0, ""},
      {"05 * * * *", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    CronSpec schedule;
    char err[kCronErrSize];
    EXPECT_EQ(cron_parse(c.input, schedule, err), c.want_rc);
    EXPECT_EQ(std::string(err), c.want_msg);
    if (c.want_rc != 0) {
      EXPECT_EQ(memcmp(schedule.flags, CronSpec{}.flags, kCronFlagCount), 0)
          << "schedule not cleared";
    }
  }
}

// Which values of each field end up set.
TEST(CronParse, SetsValues) {
  struct Case {
    const char* input;
    int offset;
    int count;
    std::vector<int> want;
  } cases[] = {
      {"*/15 * * * *", kCronMinuteOffset, 60, {0, 15, 30, 45}},
      {"5/15 * * * *", kCronMinuteOffset, 60, {5}},
      {"1-5/2 * * * *", kCronMinuteOffset, 60, {1, 3, 5}},
      {"1,,3,3 * * * *", kCronMinuteOffset, 60, {1, 3}},
      {"*/99999999999 * * * *", kCronMinuteOffset, 60, {0}},
      {"58-59,0-1/1 * * * *", kCronMinuteOffset, 60, {0, 1, 58, 59}},
      {"* 22-23/5 * * *", kCronHourOffset, 24, {22}},
      {"* * */10 * *", kCronDomOffset, 32, {1, 11, 21, 31}},
      {"* * * */4 *", kCronMonthOffset, 13, {1, 5, 9}},
      {"* * * * *", kCronDowOffset, 8, {0, 1, 2, 3, 4, 5, 6, 7}},
      {"* * * * 7", kCronDowOffset, 8, {7}},
      {"* * * * 5-7", kCronDowOffset, 8, {5, 6, 7}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    CronSpec schedule = parse_ok(c.input);
    std::vector<int> got;
    for (int v = 0; v < c.count; ++v) {
      if (schedule.flags[c.offset + v] != 0) {
        got.push_back(v);
      }
    }
    EXPECT_EQ(got, c.want);
  }
}

TEST_F(CronTz, NextInUtc) {
  struct Case {
    const char* expr;
    int64_t t;
    bool inclusive;
    int64_t want;
  } cases[] = {
      {"*/15 * * * *", utc(2024, 5, 1, 10, 7, 30), false, utc(2024, 5, 1, 10, 15)},
      {"*/15 * * * *", utc(2024, 5, 1, 10, 15), true, utc(2024, 5, 1, 10, 15)},
      {"*/15 * * * *", utc(2024, 5, 1, 10, 15), false, utc(2024, 5, 1, 10, 30)},
      {"*/15 * * * *", utc(2024, 5, 1, 23, 59, 59), true, utc(2024, 5, 2, 0, 0)},
      {"5/15 * * * *", utc(2024, 5, 1, 10, 6), true, utc(2024, 5, 1, 11, 5)},
      {"59 23 * * *", utc(2024, 5, 1, 23, 59, 30), true, utc(2024, 5, 1, 23, 59)},
      {"59 23 * * *", utc(2024, 5, 1, 23, 59, 30), false, utc(2024, 5, 2, 23, 59)},
      {"0 0 1 1 *", utc(2024, 12, 31, 23, 59, 1), false, utc(2025, 1, 1, 0, 0)},
      // 2024-05-01 is a Wednesday.
      {"0 12 * * 7", utc(2024, 5, 1, 0, 0), true, utc(2024, 5, 5, 12, 0)},
      {"0 12 * * 0", utc(2024, 5, 1, 0, 0), true, utc(2024, 5, 5, 12, 0)},
      // Day of month AND day of week: 2024-04-01 is the next 1st that is a Monday.
      {"0 3 1 * 1", utc(2024, 1, 2, 0, 0), true, utc(2024, 4, 1, 3, 0)},
      {"0 0 31 * *", utc(2024, 4, 1, 0, 0), true, utc(2024, 5, 31, 0, 0)},
      {"0 0 29 2 *", utc(2024, 3, 1, 0, 0), true, utc(2028, 2, 29, 0, 0)},
      // 2100 is no leap year, 2000 was one.
      {"0 0 29 2 *", utc(2097, 3, 1, 0, 0), true, utc(2104, 2, 29, 0, 0)},
      {"0 0 29 2 *", utc(1997, 3, 1, 0, 0), true, utc(2000, 2, 29, 0, 0)},
      {"0 0 31 2 *", utc(2024, 1, 1, 0, 0), true, kCronNoMatch},
      {"0 0 30 2 *", utc(2024, 1, 1, 0, 0), true, kCronNoMatch},
      {"* * 31 4,6,9,11 *", utc(2024, 1, 1, 0, 0), true, kCronNoMatch},
      // The walk across the end of months and years keeps the day of week: 2029-01-01 is the
      // next 1 January that is a Monday, 2024-12-31 a Tuesday.
      {"0 0 1 1 1", utc(2024, 1, 2, 0, 0), true, utc(2029, 1, 1, 0, 0)},
      {"0 0 31 12 2", utc(2024, 12, 30, 0, 0), true, utc(2024, 12, 31, 0, 0)},
      {"0 0 31 * 0", utc(2024, 1, 1, 0, 0), true, utc(2024, 3, 31, 0, 0)},
      // The horizon: Thursday 29 February 2024 is offset 2928 from 2016-02-23, 2929 from the
      // day before (the previous such day was in 1996).
      {"0 0 29 2 4", utc(2016, 2, 23, 0, 0), true, utc(2024, 2, 29, 0, 0)},
      {"0 0 29 2 4", utc(2016, 2, 22, 0, 0), true, kCronNoMatch},
      // Minutes are rounded down, also before the epoch.
      {"* * * * *", -30, true, -60},
      {"* * * * *", -30, false, 0},
      {"* * * * *", INT64_MAX, false, kCronNoMatch},
      {"* * * * *", INT64_MIN, true, kCronNoMatch},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.expr) + " from " + local_text(c.t) +
                 (c.inclusive ? " inclusive" : ""));
    CronSpec schedule = parse_ok(c.expr);
    int64_t got = cron_next(schedule, c.t, c.inclusive);
    EXPECT_EQ(got, c.want) << local_text(got) << " want " << local_text(c.want);
  }
}

TEST_F(CronTz, SkipsMinuteThatClocksJumpOver) {
  struct Case {
    const char* tz;
    int64_t t;
    int64_t want;
  } cases[] = {
      // Berlin 2024-03-31 02:00 CET -> 03:00 CEST; the next 02:30 is 2024-04-01 00:30 UTC.
      {"Europe/Berlin", utc(2024, 3, 30, 12, 0), utc(2024, 4, 1, 0, 30)},
      // New York 2024-03-10 02:00 EST -> 03:00 EDT.
      {"America/New_York", utc(2024, 3, 9, 12, 0), utc(2024, 3, 11, 6, 30)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tz);
    use_tz(c.tz);
    int64_t got = cron_next(parse_ok("30 2 * * *"), c.t, true);
    EXPECT_EQ(got, c.want) << local_text(got);
  }
}

// Berlin 2024-10-27 03:00 CEST -> 02:00 CET: the local minutes 02:00..02:59 happen twice but
// each runs once.
TEST_F(CronTz, RunsRepeatedMinuteOnce) {
  use_tz("Europe/Berlin");
  CronSpec schedule = parse_ok("*/30 * * * *");
  std::vector<std::string> got;
  int64_t t = utc(2024, 10, 26, 23, 45);  // 01:45 CEST
  for (int i = 0; i < 5; ++i) {
    t = cron_next(schedule, t, false);
    ASSERT_NE(t, kCronNoMatch);
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    localtime_r(&tt, &tm);
    char buf[8];
    strftime(buf, sizeof(buf), "%H:%M", &tm);
    got.push_back(buf);
  }
  EXPECT_EQ(got, (std::vector<std::string>{"02:00", "02:30", "03:00", "03:30", "04:00"}));

  // Asked from inside the second pass of the repeated hour, the daily job waits a day.
  int64_t second_pass = utc(2024, 10, 27, 1, 10);  // 02:10 CET
  int64_t next = cron_next(parse_ok("30 2 * * *"), second_pass, true);
  EXPECT_EQ(next, utc(2024, 10, 28, 1, 30)) << local_text(next);
}

// Havana 2000-10-29 01:00 CDT -> 00:00 CST repeats the first hour of the day, midnight
// included. mktime settles such a time by the offset of its previous conversion, so the answer
// must not depend on what the process converted before: the same first 00:30 (CDT) either way.
TEST_F(CronTz, RepeatedMidnightIgnoresEarlierConversions) {
  use_tz("America/Havana");
  CronSpec schedule = parse_ok("30 0 29 10 *");
  for (int month : {1, 7}) {
    SCOPED_TRACE(month);
    struct tm earlier = {};
    earlier.tm_year = 100;
    earlier.tm_mon = month - 1;
    earlier.tm_mday = 15;
    earlier.tm_isdst = -1;
    mktime(&earlier);
    int64_t got = cron_next(schedule, utc(2000, 10, 20, 17, 0), true);
    EXPECT_EQ(got, utc(2000, 10, 29, 4, 30)) << local_text(got);
  }
}

// Reference: scan every minute from the start; an instant matches when its local fields are in
// the sets and it is the instant mktime gives for those fields with daylight saving unknown
// (which makes a repeated minute match once). glibc resolves an ambiguous time towards the
// offset of its previous conversion, so the day's midnight is converted first to make the
// reference independent of what ran before it.
int64_t brute_next(const CronSpec& schedule, int64_t t, bool inclusive, int scan_minutes) {
  int64_t start = t - ((t % 60) + 60) % 60 + (inclusive ? 0 : 60);
  for (int i = 0; i < scan_minutes; ++i) {
    int64_t cand = start + 60 * static_cast<int64_t>(i);
    time_t tt = static_cast<time_t>(cand);
    struct tm tm;
    localtime_r(&tt, &tm);
    bool dow = schedule.flags[kCronDowOffset + tm.tm_wday] != 0 ||
               (tm.tm_wday == 0 && schedule.flags[kCronDowOffset + 7] != 0);
    if (!dow || schedule.flags[kCronMinuteOffset + tm.tm_min] == 0 ||
        schedule.flags[kCronHourOffset + tm.tm_hour] == 0 ||
        schedule.flags[kCronDomOffset + tm.tm_mday] == 0 ||
        schedule.flags[kCronMonthOffset + tm.tm_mon + 1] == 0) {
      continue;
    }
    struct tm midnight = tm;
    midnight.tm_hour = 0;
    midnight.tm_min = 0;
    midnight.tm_isdst = -1;
    mktime(&midnight);
    struct tm back = tm;
    back.tm_isdst = -1;
    if (static_cast<int64_t>(mktime(&back)) == cand) {
      return cand;
    }
  }
  return kCronNoMatch;
}

// A random field in lo..hi: often '*', else a list of one to three items of every form, half
// of them starting in hot_lo..hot_hi.
std::string random_field(std::mt19937& rng, int lo, int hi, int star_percent, int hot_lo = -1,
                         int hot_hi = -1) {
  auto pick = [&](int a, int b) { return std::uniform_int_distribution<int>(a, b)(rng); };
  if (pick(1, 100) <= star_percent) {
    return pick(0, 3) == 0 ? "*/" + std::to_string(pick(1, 4)) : "*";
  }
  std::string out;
  int items = pick(1, 3);
  for (int i = 0; i < items; ++i) {
    if (!out.empty()) {
      out += ",";
    }
    int a = hot_lo >= 0 && pick(0, 1) == 0 ? pick(hot_lo, hot_hi) : pick(lo, hi);
    int b = pick(a, hi);
    switch (pick(0, 3)) {
      case 0:
        out += std::to_string(a);
        break;
      case 1:
        out += std::to_string(a) + "-" + std::to_string(b);
        break;
      case 2:
        out += std::to_string(a) + "-" + std::to_string(b) + "/" + std::to_string(pick(1, 5));
        break;
      default:
        out += std::to_string(a) + "/" + std::to_string(pick(1, 5));
        break;
    }
  }
  return out;
}

// cron_next against the minute-by-minute reference, for random expressions and random starts
// around real daylight-saving changes. Where the reference finds nothing within its scan,
// cron_next must not return anything inside the scanned range either.
void check_against_reference(const char* tz, std::span<const int64_t> transitions, uint32_t seed,
                             int cases) {
  constexpr int kScanMinutes = 10 * 24 * 60;
  std::mt19937 rng(seed);
  auto pick = [&](int a, int b) { return std::uniform_int_distribution<int>(a, b)(rng); };
  for (int i = 0; i < cases; ++i) {
    std::string expr = random_field(rng, 0, 59, 30) + " " + random_field(rng, 0, 23, 40, 0, 3) +
                       " " + random_field(rng, 1, 31, 80) + " " + random_field(rng, 1, 12, 85) +
                       " " + random_field(rng, 0, 7, 80);
    // Most starts fall within hours of a change, so that the answer often lies in the skipped
    // or the repeated hour.
    int64_t base = transitions[pick(0, static_cast<int>(transitions.size()) - 1)];
    int64_t t = base + (pick(0, 3) == 0 ? pick(-3 * 86400, 86400) : pick(-4 * 3600, 2 * 3600));
    bool inclusive = std::uniform_int_distribution<int>(0, 1)(rng) == 1;
    SCOPED_TRACE(std::string(tz) + ": '" + expr + "' from " + local_text(t) +
                 (inclusive ? " inclusive" : ""));
    CronSpec schedule;
    char err[kCronErrSize];
    ASSERT_EQ(cron_parse(expr, schedule, err), 0) << err;
    int64_t got = cron_next(schedule, t, inclusive);
    int64_t want = brute_next(schedule, t, inclusive, kScanMinutes);
    if (want != kCronNoMatch) {
      EXPECT_EQ(got, want) << local_text(got) << " want " << local_text(want);
    } else {
      int64_t start = t - ((t % 60) + 60) % 60 + (inclusive ? 0 : 60);
      EXPECT_TRUE(got == kCronNoMatch || got >= start + 60 * kScanMinutes) << local_text(got);
    }
  }
}

// UTC reference for any year: walks whole days with gmtime_r, which shares no code with the
// calendar walk of cron_next, and takes the first set minute of the first matching day that is
// not before start.
int64_t utc_next(const CronSpec& schedule, int64_t t, bool inclusive) {
  int64_t start = t - ((t % 60) + 60) % 60 + (inclusive ? 0 : 60);
  int64_t midnight = start - ((start % 86400) + 86400) % 86400;
  for (int d = 0; d < kCronHorizonDays; ++d) {
    int64_t day = midnight + 86400 * static_cast<int64_t>(d);
    time_t tt = static_cast<time_t>(day);
    struct tm tm;
    gmtime_r(&tt, &tm);
    bool dow = schedule.flags[kCronDowOffset + tm.tm_wday] != 0 ||
               (tm.tm_wday == 0 && schedule.flags[kCronDowOffset + 7] != 0);
    if (!dow || schedule.flags[kCronDomOffset + tm.tm_mday] == 0 ||
        schedule.flags[kCronMonthOffset + tm.tm_mon + 1] == 0) {
      continue;
    }
    for (int h = 0; h < 24; ++h) {
      for (int m = 0; m < 60; ++m) {
        int64_t cand = day + 3600 * h + 60 * m;
        if (schedule.flags[kCronHourOffset + h] != 0 &&
            schedule.flags[kCronMinuteOffset + m] != 0 && cand >= start) {
          return cand;
        }
      }
    }
  }
  return kCronNoMatch;
}

// Day-level matching across leap years, centuries, month ends and the whole horizon, for
// random expressions with restrictive day fields and starts between 1601 and 2399.
TEST_F(CronTz, MatchesCalendarReferenceOverCenturies) {
  use_tz("UTC");
  std::mt19937 rng(5);
  auto pick = [&](int64_t a, int64_t b) {
    return std::uniform_int_distribution<int64_t>(a, b)(rng);
  };
  const int64_t lo = utc(1601, 1, 1, 0, 0);
  const int64_t hi = utc(2399, 12, 31, 0, 0);
  for (int i = 0; i < 300; ++i) {
    std::string expr = random_field(rng, 0, 59, 20) + " " + random_field(rng, 0, 23, 20) + " " +
                       random_field(rng, 1, 31, 30, 28, 31) + " " + random_field(rng, 1, 12, 40) +
                       " " + random_field(rng, 0, 7, 40);
    // Half the starts lie in the 400 days before the end of February of a century year, leap
    // (2000) or not (1900, 2100, ...).
    int64_t t = pick(lo, hi);
    if (pick(0, 1) == 1) {
      int century = pick(0, 1) == 1 ? 2000 : static_cast<int>(pick(17, 23)) * 100;
      t = utc(century, 3, 1, 0, 0) - pick(1, 400 * 86400);
    }
    bool inclusive = pick(0, 1) == 1;
    SCOPED_TRACE("'" + expr + "' from " + local_text(t) + (inclusive ? " inclusive" : ""));
    CronSpec schedule = parse_ok(expr.c_str());
    int64_t got = cron_next(schedule, t, inclusive);
    int64_t want = utc_next(schedule, t, inclusive);
    EXPECT_EQ(got, want) << local_text(got) << " want " << local_text(want);
  }
}

// The 2024 and 2025 changes of Europe/Berlin and America/New_York, as UTC instants.
const int64_t kBerlinChanges[] = {utc(2024, 3, 31, 1, 0), utc(2024, 10, 27, 1, 0),
                                  utc(2025, 3, 30, 1, 0), utc(2025, 10, 26, 1, 0)};
const int64_t kNewYorkChanges[] = {utc(2024, 3, 10, 7, 0), utc(2024, 11, 3, 6, 0),
                                   utc(2025, 3, 9, 7, 0), utc(2025, 11, 2, 6, 0)};

TEST_F(CronTz, MatchesReferenceInUtc) {
  use_tz("UTC");
  check_against_reference("UTC", kBerlinChanges, 1, 150);
  check_against_reference("UTC", kNewYorkChanges, 2, 150);
}

TEST_F(CronTz, MatchesReferenceInBerlin) {
  use_tz("Europe/Berlin");
  check_against_reference("Europe/Berlin", kBerlinChanges, 3, 300);
}

TEST_F(CronTz, MatchesReferenceInNewYork) {
  use_tz("America/New_York");
  check_against_reference("America/New_York", kNewYorkChanges, 4, 300);
}

}  // namespace
}  // namespace vrk
