// cron_next against its floor: a search that finds nothing converts one local midnight per day
// of the horizon, so it should cost little more than that many mktime calls.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include "sched/cron.h"

namespace {

// 2024-03-01 10:07:30 UTC, a month before a clock change in Europe/Berlin.
constexpr int64_t kStart = 1709287650;

void use_berlin() {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
}

vrk::CronSpec parse(const char* expr) {
  vrk::CronSpec schedule;
  char err[vrk::kCronErrSize];
  if (vrk::cron_parse(expr, schedule, err) != 0) {
    abort();
  }
  return schedule;
}

void BM_CronNextEveryQuarter(benchmark::State& state) {
  use_berlin();
  vrk::CronSpec schedule = parse("*/15 * * * *");
  for (auto _ : state) {
    benchmark::DoNotOptimize(vrk::cron_next(schedule, kStart, false));
  }
}
BENCHMARK(BM_CronNextEveryQuarter);

void BM_CronNextNoMatch(benchmark::State& state) {
  use_berlin();
  vrk::CronSpec schedule = parse("0 0 31 2 *");
  for (auto _ : state) {
    int64_t next = vrk::cron_next(schedule, kStart, false);
    if (next != vrk::kCronNoMatch) {
      abort();
    }
    benchmark::DoNotOptimize(next);
  }
}
BENCHMARK(BM_CronNextNoMatch)->Unit(benchmark::kMicrosecond);

// The floor: one mktime per day of the horizon, normalising day offsets as the search does.
void BM_Mktime2929(benchmark::State& state) {
  use_berlin();
  time_t start = static_cast<time_t>(kStart);
  struct tm base;
  localtime_r(&start, &base);
  for (auto _ : state) {
    for (int d = 0; d < vrk::kCronHorizonDays; ++d) {
      struct tm day = base;
      day.tm_mday += d;
      day.tm_hour = 0;
      day.tm_min = 0;
      day.tm_sec = 0;
      day.tm_isdst = -1;
      benchmark::DoNotOptimize(mktime(&day));
    }
  }
}
BENCHMARK(BM_Mktime2929)->Unit(benchmark::kMicrosecond);

}  // namespace
