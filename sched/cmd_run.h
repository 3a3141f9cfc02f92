// The run and start commands: one job now, in the foreground or detached.
#pragma once

#include <stdint.h>

#include "sched/config.h"

namespace vrk {

struct QueueState;

// The whole command; returns the exit status.
int cmd_run_start(const char* config_path, const char* queue_path, int argc, char** argv,
                  bool is_start);

// Runs job_name now under the queue lock. 0 when the result is done; -1 for failed or busy;
// kErrNotFound for an unknown job; kErrAgain when another live run blocks it (unless force).
int run_job_now(const SchedConfig& config, QueueState& queue, const char* job_name,
                uint32_t timeout, const char* log_dir, uint32_t keep, bool force, bool background);

}  // namespace vrk
