#include "sched/settings.h"

#include <stdlib.h>

#include "common/cli.h"
#include "common/error.h"
#include "common/text.h"

namespace vrk {
namespace {

uint32_t flag_number(const char* text) {
  return static_cast<uint32_t>(strtoul(text, nullptr, 10));
}

}  // namespace

int sched_settings_resolve(int argc, char** argv, const SchedConfig& cfg, SchedSettings& out,
                           std::span<char> err) {
  if (!err.empty()) {
    err[0] = '\0';
  }
  SchedSettings s;
  if (const char* v = cli_value(argc, argv, "--poll-interval", nullptr)) {
    s.poll_interval = flag_number(v);
  } else if (cfg.poll_interval != 0) {
    s.poll_interval = cfg.poll_interval;
  }
  if (const char* v = cli_value(argc, argv, "--busy-retry-seconds", nullptr)) {
    s.busy_retry_seconds = flag_number(v);
  } else if (cfg.busy_retry_seconds != 0) {
    s.busy_retry_seconds = cfg.busy_retry_seconds;
  } else {
    s.busy_retry_seconds = s.poll_interval;
  }
  if (const char* v = cli_value(argc, argv, "--job-timeout-seconds", nullptr)) {
    s.job_timeout_seconds = flag_number(v);
  } else if (cfg.job_timeout_seconds != 0) {
    s.job_timeout_seconds = cfg.job_timeout_seconds;
  }
  if (const char* v = cli_value(argc, argv, "--job-log-dir", nullptr)) {
    if (!text_copy(s.job_log_dir, v)) {
      err_set(err, "--job-log-dir is too long (at most %zu bytes)", sizeof s.job_log_dir - 1);
      return -1;
    }
  } else if (cfg.job_log_dir[0] != '\0') {
    text_copy_cut(s.job_log_dir, cfg.job_log_dir);
  } else {
    text_copy_cut(s.job_log_dir, kDefaultJobLogDir);
  }
  if (const char* v = cli_value(argc, argv, "--job-log-keep", nullptr)) {
    s.job_log_keep = flag_number(v);
  } else if (cfg.job_log_keep != 0) {
    s.job_log_keep = cfg.job_log_keep;
  }
  out = s;
  return 0;
}

}  // namespace vrk
