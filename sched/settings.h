// The values that command-line flags, [sched] keys and built-in defaults combine into for the
// daemon and the run commands (SchedSettings), and the built-in defaults themselves.
#pragma once

#include <stdint.h>

#include <span>

#include "sched/config.h"

namespace vrk {

inline constexpr uint32_t kDefaultPollInterval = 30;
inline constexpr uint32_t kDefaultJobTimeout = 86400;
inline constexpr const char kDefaultJobLogDir[] = "/var/log/vrk/vrk_sched-jobs";
inline constexpr uint32_t kDefaultJobLogKeep = 20;

// Values that flags, [sched] keys and built-in defaults combine into.
struct SchedSettings {
  uint32_t poll_interval = kDefaultPollInterval;
  uint32_t busy_retry_seconds = kDefaultPollInterval;
  uint32_t job_timeout_seconds = kDefaultJobTimeout;
  char job_log_dir[kJobLogDirSize] = {};
  uint32_t job_log_keep = kDefaultJobLogKeep;
};

// First source that has each value: the flag (even 0), the [sched] key when non-zero or set,
// then the built-in default. Flag values are unsigned decimal without a check. Fails with -1
// and a message (without "error: ") in err when --job-log-dir does not fit job_log_dir, since a
// cut path would name another directory; out is then left as it was.
[[nodiscard]] int sched_settings_resolve(int argc, char** argv, const SchedConfig& cfg,
                                         SchedSettings& out, std::span<char> err);

}  // namespace vrk
