// The job runner: one run of one job with its job log, time limit, cancellation and the result
// recorded in the queue entry.
#pragma once

#include <signal.h>
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
// The RUNNING mark could not be saved, so the program was never started: nothing is recorded
// and nothing is notified, and a job that is due stays due.
inline constexpr uint32_t kRunNotStarted = 3;
inline constexpr int kRunCommandSize = 1024;
inline constexpr int kRunJobLogSize = 1400;
inline constexpr int kRunWhySize = 1200;
inline constexpr int kBusyExitCode = 75;

// The outcome of one run, for the caller and the notification.
struct RunResult {
  uint32_t result = kRunDone;
  int64_t start = 0;
  int64_t finish = 0;
  int32_t exit_code = -1;
  uint32_t timed_out = 0;
  char command[kRunCommandSize] = {};
  char job_log[kRunJobLogSize] = {};       // empty when no job log was written
  char not_started_why[kRunWhySize] = {};  // kRunNotStarted: why the mark could not be saved
};
static_assert(std::is_trivially_copyable_v<RunResult>);

// What the caller lets the run see while the program runs: the daemon's network supervisor
// (pumped between checks) and API state (running job, cancel request), and for run and start a
// stop flag that their signal handlers set to the signal's number. Any member may be empty.
struct RunContext {
  NetSupervisor* net = nullptr;
  ApiState* api = nullptr;
  const volatile sig_atomic_t* stop_signal = nullptr;
  // Called once the RUNNING mark is saved, right before the program starts.
  void (*started)(void* arg) = nullptr;
  void* started_arg = nullptr;
};

// Runs job once. Requires: queue re-read under the lock held in lock_fd. The lock is released
// while the program runs and taken again before the end state is written; the new descriptor
// is stored in lock_fd (-1 when it could not be taken). timeout 0 means 86400 s, keep 0 keeps
// every job log. On return the entry holds the result in memory: the caller saves the queue,
// releases the lock and notifies. Returns result.result (kRunDone, kRunFailed or kRunBusy), or
// kRunNotStarted when the RUNNING mark could not be saved: then the entry is as it was, the lock
// is still held and result.not_started_why says why. A stop signal already set before the start
// also gives kRunNotStarted.
uint32_t job_run(const JobConfig& job, bool background, QueueState& queue, int& lock_fd,
                 uint32_t timeout, const char* log_dir, uint32_t keep, RunContext* context,
                 RunResult& result);

// True for a job log name of the form the runner writes, "YYYYMMDDTHHMMSSZ.log" (8 digits, 'T',
// 6 digits, 'Z', ".log"): only such files are runs, to be listed or pruned.
bool job_log_name_is_run_id(std::string_view name);

}  // namespace vrk
