// The job runner: one run of one job with its job log, time limit, cancellation and the result
// recorded in the queue entry.
#pragma once

#include <stdint.h>

#include <string_view>
#include <type_traits>

#include "sched/config.h"

namespace vrk {

struct ApiState;
struct NetSupervisor;
struct QueueState;

inline constexpr uint32_t kRunDone = 0;
inline constexpr uint32_t kRunFailed = 1;
inline constexpr uint32_t kRunBusy = 2;
inline constexpr int kRunCommandSize = 1024;
inline constexpr int kRunJobLogSize = 1400;
inline constexpr int kBusyExitCode = 75;

// The outcome of one run, for the caller and the notification.
struct RunResult {
  uint32_t result = kRunDone;
  int64_t start = 0;
  int64_t finish = 0;
  int32_t exit_code = -1;
  uint32_t timed_out = 0;
  char command[kRunCommandSize] = {};
  char job_log[kRunJobLogSize] = {};  // empty when no job log was written
};
static_assert(std::is_trivially_copyable_v<RunResult>);

// The daemon's run context: its network supervisor (pumped while the job runs) and its API
// state (running job, cancel request). Outside the daemon no context is passed.
struct RunContext {
  NetSupervisor* net = nullptr;
  ApiState* api = nullptr;
};

// Runs job once. Requires: queue re-read under the lock held in lock_fd. The lock is released
// while the program runs and taken again before the end state is written; the new descriptor
// is stored in lock_fd (-1 when it could not be taken). timeout 0 means 86400 s, keep 0 keeps
// every job log. On return the entry holds the result in memory: the caller saves the queue,
// releases the lock and notifies. Returns result.result (kRunDone, kRunFailed or kRunBusy).
uint32_t job_run(const JobConfig& job, bool background, QueueState& queue, int& lock_fd,
                 uint32_t timeout, const char* log_dir, uint32_t keep, RunContext* context,
                 RunResult& result);

// True for a job log name of the form the runner writes, "YYYYMMDDTHHMMSSZ.log" (8 digits, 'T',
// 6 digits, 'Z', ".log"): only such files are runs, to be listed or pruned.
bool job_log_name_is_run_id(std::string_view name);

}  // namespace vrk
