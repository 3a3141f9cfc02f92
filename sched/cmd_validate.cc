#include "sched/cmd_validate.h"

#include <stdio.h>

#include <memory>
#include <new>
#include <vector>

#include "common/scope_exit.h"
#include "sched/config.h"
#include "sched/config_load.h"
#include "sched/job_argv.h"

namespace vrk {

namespace {

inline constexpr int kArgvErrSize = 256;

}  // namespace

int cmd_validate(const char* config_path) {
  SchedConfigPtr cfg = config_new();
  if (cfg == nullptr) {
    fprintf(stderr, "error: %s\n", "out of memory");
    return 1;
  }
  ScopeExit release([&cfg]() { config_free(*cfg); });
  char err[kConfigErrSize];
  if (config_load(config_path, *cfg, err) != 0) {
    fprintf(stderr, "error: %s\n", err);
    return 1;
  }
  std::vector<const char*> argv;
  for (uint64_t i = 0; i < cfg->job_count; ++i) {
    const JobConfig& job = cfg->jobs[i];
    char jerr[kArgvErrSize];
    int count = 0;
    if (job_build_argv(job, 0, argv, count, jerr) != 0) {
      fprintf(stderr, "error: [%s]: %s\n", job.name, jerr);
      return 1;
    }
  }
  printf("OK: %zu job(s)\n", static_cast<size_t>(cfg->job_count));
  return 0;
}

}  // namespace vrk
