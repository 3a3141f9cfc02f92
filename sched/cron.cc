#include "sched/cron.h"

#include <string.h>
#include <time.h>

#include "common/error.h"

namespace vrk {

namespace {

inline constexpr size_t kCronTextSize = 256;
inline constexpr int kCronFieldCount = 5;
inline constexpr int64_t kSecondsPerMinute = 60;

struct CronField {
  const char* name;
  int lo;
  int hi;
  int offset;
};

inline constexpr CronField kCronFields[kCronFieldCount] = {
    {"minute", 0, 59, kCronMinuteOffset},    {"hour", 0, 23, kCronHourOffset},
    {"day-of-month", 1, 31, kCronDomOffset}, {"month", 1, 12, kCronMonthOffset},
    {"day-of-week", 0, 7, kCronDowOffset},
};
static_assert(kCronFields[4].offset + kCronFields[4].hi + 1 == kCronFlagCount);

bool cron_is_sep(char c) {
  return c == ' ' || c == '\t';
}

// A decimal number using every character of s. Values are capped far above any bound (a
// capped value still fails every range check, and as a step it behaves like any step wider
// than the field), so long digit strings cannot overflow.
bool cron_number(std::string_view s, int& out) {
  if (s.empty()) {
    return false;
  }
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') {
      return false;
    }
    if (v < 1000000) {
      v = v * 10 + (c - '0');
    }
  }
  out = v;
  return true;
}

// One item of a field, adding its values to flags[0..hi]:
//   item  := "*" [ "/" step ] | num [ "-" num ] [ "/" step ]
//   step  := num, at least 1
// "n/s" sets n alone; ranges need lo <= a <= b <= hi.
bool cron_item(std::string_view item, const CronField& f, uint8_t* flags) {
  int step = 1;
  size_t slash = item.find('/');
  if (slash != std::string_view::npos) {
    if (!cron_number(item.substr(slash + 1), step) || step < 1) {
      return false;
    }
    item = item.substr(0, slash);
  }
  int a = 0;
  int b = 0;
  if (item == "*") {
    a = f.lo;
    b = f.hi;
  } else {
    size_t dash = item.find('-');
    if (dash == std::string_view::npos) {
      if (!cron_number(item, a)) {
        return false;
      }
      b = a;
    } else if (!cron_number(item.substr(0, dash), a) || !cron_number(item.substr(dash + 1), b)) {
      return false;
    }
    if (a < f.lo || a > b || b > f.hi) {
      return false;
    }
  }
  for (int v = a; v <= b; v += step) {
    flags[v] = 1;
  }
  return true;
}

// field := item { "," item }, empty items skipped, at least one item present.
bool cron_field(std::string_view text, const CronField& f, uint8_t* flags) {
  bool any = false;
  while (true) {
    size_t comma = text.find(',');
    std::string_view item = text.substr(0, comma);
    if (!item.empty()) {
      if (!cron_item(item, f, flags)) {
        return false;
      }
      any = true;
    }
    if (comma == std::string_view::npos) {
      break;
    }
    text = text.substr(comma + 1);
  }
  return any;
}

bool cron_flag(const CronSpec& schedule, int offset, int value) {
  return schedule.flags[offset + value] != 0;
}

// Day-level match: month (1..12), day of month and day of week (7 also means Sunday), ANDed.
bool cron_day_matches(const CronSpec& schedule, int month, int mday, int wday) {
  if (!cron_flag(schedule, kCronMonthOffset, month) || !cron_flag(schedule, kCronDomOffset, mday)) {
    return false;
  }
  return cron_flag(schedule, kCronDowOffset, wday) ||
         (wday == 0 && cron_flag(schedule, kCronDowOffset, 7));
}

bool cron_day_matches(const CronSpec& schedule, const struct tm& day) {
  return cron_day_matches(schedule, day.tm_mon + 1, day.tm_mday, day.tm_wday);
}

// A civil date in the proleptic Gregorian calendar, which is also what mktime normalises in.
struct CronDate {
  int64_t year = 0;
  int month = 1;  // 1..12
  int mday = 1;
  int wday = 0;  // 0 is Sunday
};

int cron_month_days(int64_t year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && year % 4 == 0 && (year % 100 != 0 || year % 400 == 0)) {
    return 29;
  }
  return kDays[month - 1];
}

void cron_date_advance(CronDate& date) {
  date.wday = (date.wday + 1) % 7;
  if (++date.mday <= cron_month_days(date.year, date.month)) {
    return;
  }
  date.mday = 1;
  if (++date.month > 12) {
    date.month = 1;
    ++date.year;
  }
}

// Midnight of start's local date plus d days, normalised in place by mktime; its result.
time_t cron_midnight(const struct tm& start_tm, int d, struct tm& day) {
  day = start_tm;
  day.tm_mday += d;
  day.tm_hour = 0;
  day.tm_min = 0;
  day.tm_sec = 0;
  day.tm_isdst = -1;
  return mktime(&day);
}

}  // namespace

int cron_parse(std::string_view expr, CronSpec& schedule, std::span<char> err) {
  if (!err.empty()) {
    err[0] = '\0';
  }
  schedule = CronSpec{};
  if (expr.size() >= kCronTextSize) {
    err_set(err, "cron expression too long");
    return -1;
  }
  char work[kCronTextSize];
  memcpy(work, expr.data(), expr.size());
  work[expr.size()] = '\0';
  std::string_view text(work, expr.size());

  std::string_view fields[kCronFieldCount];
  int count = 0;
  size_t i = 0;
  while (i < text.size()) {
    if (cron_is_sep(text[i])) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < text.size() && !cron_is_sep(text[end])) {
      ++end;
    }
    if (count < kCronFieldCount) {
      fields[count] = text.substr(i, end - i);
    }
    ++count;
    i = end;
  }
  if (count != kCronFieldCount) {
    err_set(err, "expected 5 fields (minute hour day-of-month month day-of-week), got %d", count);
    return -1;
  }

  CronSpec parsed;
  for (int k = 0; k < kCronFieldCount; ++k) {
    const CronField& f = kCronFields[k];
    if (!cron_field(fields[k], f, parsed.flags + f.offset)) {
      err_set(err, "invalid %s field '%.*s'", f.name, static_cast<int>(fields[k].size()),
              fields[k].data());
      return -1;
    }
  }
  schedule = parsed;
  return 0;
}

// Walks calendar days in local time and lets mktime decide which minutes exist: a minute whose
// fields do not survive the round trip lies in a gap (clocks going forward) and is skipped; a
// repeated minute (clocks going back) converts to one instant and so runs once. mktime also
// normalises the broken-down time in place, which is the local time of its result, so no
// separate conversion back is needed.
//
// Converting every day of the horizon would cost thousands of mktime calls for a schedule that
// rarely or never matches, so the walk first decides on the plain calendar date whether the day
// can match and converts only those days (and the day before each, see below). The day mktime
// normalises to is that same date unless its midnight lies in a gap; it is then a neighbouring
// day, which the walk examines in its own turn, so the first answer is the same as with every
// day converted.
int64_t cron_next(const CronSpec& schedule, int64_t t, bool inclusive) {
  // Far beyond any local-time conversion; also keeps the arithmetic below from overflowing.
  constexpr int64_t kTimeLimit = INT64_C(1) << 56;
  if (t > kTimeLimit || t < -kTimeLimit) {
    return kCronNoMatch;
  }
  int64_t rem = t % kSecondsPerMinute;
  int64_t start = t - (rem < 0 ? rem + kSecondsPerMinute : rem);
  if (!inclusive) {
    start += kSecondsPerMinute;
  }
  time_t start_t = static_cast<time_t>(start);
  struct tm start_tm;
  if (localtime_r(&start_t, &start_tm) == nullptr) {
    return kCronNoMatch;
  }

  int converted = -1;  // the last day whose midnight was converted
  CronDate date;
  date.year = static_cast<int64_t>(start_tm.tm_year) + 1900;
  date.month = start_tm.tm_mon + 1;
  date.mday = start_tm.tm_mday;
  date.wday = start_tm.tm_wday;
  for (int d = 0; d < kCronHorizonDays; ++d, cron_date_advance(date)) {
    if (!cron_flag(schedule, kCronMonthOffset, date.month)) {
      // No day of this month can match: go on from its last day.
      const int rest = cron_month_days(date.year, date.month) - date.mday;
      d += rest;
      date.mday += rest;
      date.wday = (date.wday + rest) % 7;
      continue;
    }
    if (!cron_day_matches(schedule, date.month, date.mday, date.wday)) {
      continue;
    }
    struct tm day;
    if (d > 0 && converted != d - 1) {
      // mktime settles a repeated local time (and a midnight in a gap) by the offset of its
      // previous conversion: converting the day before first gives the answer of a walk that
      // converts every day, whatever was converted earlier.
      cron_midnight(start_tm, d - 1, day);
    }
    converted = d;
    if (cron_midnight(start_tm, d, day) == static_cast<time_t>(-1)) {
      continue;
    }
    if (!cron_day_matches(schedule, day)) {
      continue;
    }
    int first_hour = d == 0 ? start_tm.tm_hour : 0;
    for (int h = first_hour; h < 24; ++h) {
      if (!cron_flag(schedule, kCronHourOffset, h)) {
        continue;
      }
      int first_min = (d == 0 && h == start_tm.tm_hour) ? start_tm.tm_min : 0;
      for (int m = first_min; m < 60; ++m) {
        if (!cron_flag(schedule, kCronMinuteOffset, m)) {
          continue;
        }
        struct tm cand = day;
        cand.tm_hour = h;
        cand.tm_min = m;
        cand.tm_sec = 0;
        cand.tm_isdst = -1;
        time_t ct = mktime(&cand);
        if (ct == static_cast<time_t>(-1)) {
          continue;
        }
        if (cand.tm_hour != h || cand.tm_min != m || cand.tm_mday != day.tm_mday ||
            cand.tm_mon != day.tm_mon) {
          continue;
        }
        if (static_cast<int64_t>(ct) < start) {
          continue;
        }
        return static_cast<int64_t>(ct);
      }
    }
  }
  return kCronNoMatch;
}

}  // namespace vrk
