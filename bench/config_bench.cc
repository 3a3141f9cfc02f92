// The loader on a full job table: 256 jobs, each with a schedule, args, after and a retention,
// from memory and from a file. Target: well under 1 ms per load.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "sched/config.h"
#include "sched/config_load.h"

namespace {

std::string full_table_text() {
  std::string s =
      "[sched]\npoll-interval = 30\n[mail]\nsmtp-host = mx.example.org\n"
      "from = backup@example.org\nto = a@example.org, b@example.org\nnotify = failed\n"
      "[api]\nenabled = yes\nlisten = 127.0.0.1:8447\n";
  for (int i = 0; i < vrk::kMaxJobs; ++i) {
    std::string n = std::to_string(i);
    s += "# job " + n + "\n[job-" + n + "]\ncommand = agent\nprofile = host-" + n +
         "\nschedule = " + std::to_string(i % 60) +
         " 1-5 * * 1-5\nargs = --verbose --exclude \"/tmp/x " + n +
         "\" --level 3\nretention = 30d\nretention-class = gold\n";
    // Each job waits for the two before it: many lookups, no cycle.
    if (i >= 2) {
      s += "after = job-" + std::to_string(i - 1) + ", job-" + std::to_string(i - 2) + "\n";
    }
  }
  return s;
}

void BM_ConfigLoadText256Jobs(benchmark::State& state) {
  std::string text = full_table_text();
  auto cfg = std::make_unique<vrk::SchedConfig>();
  char err[vrk::kConfigErrSize];
  for (auto _ : state) {
    if (vrk::config_load_text(text, "bench.cfg", *cfg, err) != 0) {
      state.SkipWithError(err);
      break;
    }
    vrk::config_free(*cfg);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ConfigLoadText256Jobs)->Unit(benchmark::kMicrosecond);

void BM_ConfigLoadFile256Jobs(benchmark::State& state) {
  std::string text = full_table_text();
  char path[] = "/tmp/config_bench_XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    state.SkipWithError("cannot write the temporary file");
    return;
  }
  close(fd);
  auto cfg = std::make_unique<vrk::SchedConfig>();
  char err[vrk::kConfigErrSize];
  for (auto _ : state) {
    if (vrk::config_load(path, *cfg, err) != 0) {
      state.SkipWithError(err);
      break;
    }
    vrk::config_free(*cfg);
  }
  unlink(path);
}
BENCHMARK(BM_ConfigLoadFile256Jobs)->Unit(benchmark::kMicrosecond);

}  // namespace
