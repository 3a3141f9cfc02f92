// The daemon: the main loop that follows the configuration file, reconciles the queue and runs
// due jobs one at a time while keeping the network process serviced.
#pragma once

#include <stdint.h>

#include "sched/config.h"

namespace vrk {

struct ApiState;
struct QueueState;

// The daemon command: load, combine the settings, run; returns the exit status.
int cmd_daemon(const char* config_path, const char* queue_path, int argc, char** argv);

// Runs until SIGTERM/SIGINT: 0 after a stop signal, or an error kind when it cannot start.
int daemon_run(const char* config_path, const char* queue_path, uint32_t poll, uint32_t busy_retry,
               uint32_t job_timeout, const char* log_dir, uint32_t keep);

// Whether the sleep between passes ends before its time: a queued API run (unless a run in
// another process blocks every start) or an API change of the configuration file.
bool daemon_sleep_ends_early(const ApiState& api, bool run_blocked);

// Whether job should start now; trigger gets the dependency finish time that makes it due
// (0 for jobs without 'after').
bool job_is_due(const QueueState& queue, const JobConfig& job, int64_t now, int64_t& trigger);

}  // namespace vrk
