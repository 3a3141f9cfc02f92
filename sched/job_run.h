// The job runner: one run of one job with its job log, time limit and cancellation, and the
// result recorded in the queue entry. The caller's own work during the run (serving the network
// process, watching for a cancel) comes in through the hooks of JobRunSettings.
#pragma once

#include <stdint.h>

#include <type_traits>

#include "sched/config.h"
#include "sched/job_log.h"

namespace vrk {

class QueueLock;
struct QueueState;

inline constexpr uint32_t kRunDone = 0;
inline constexpr uint32_t kRunFailed = 1;
inline constexpr uint32_t kRunBusy = 2;
// The RUNNING mark could not be saved (or a cancel came first), so the program was never
// started: nothing is recorded and nothing is notified, and a job that is due stays due.
inline constexpr uint32_t kRunNotStarted = 3;
inline constexpr int kRunCommandSize = 1024;
inline constexpr int kRunJobLogSize = kJobLogPathSize;
inline constexpr int kRunWhySize = 1200;
inline constexpr int kBusyExitCode = 75;
inline constexpr uint32_t kRunDefaultTimeout = 86400;

// The outcome of one run, for the caller and the notification.
struct RunResult {
  uint32_t result = kRunDone;
  int64_t start = 0;
  int64_t finish = 0;
  int32_t exit_code = -1;
  uint32_t timed_out = 0;
  char command[kRunCommandSize] = {};
  char job_log[kRunJobLogSize] = {};       // empty when no job log was written
  char not_started_why[kRunWhySize] = {};  // kRunNotStarted: why the program was not started
};
static_assert(std::is_trivially_copyable_v<RunResult>);

// How to run: the command-line decisions and the caller's hooks. Every hook is optional and gets
// hook_context.
struct JobRunSettings {
  bool background = false;   // add --background to the program's arguments
  uint32_t timeout = 0;      // seconds; 0 = kRunDefaultTimeout
  const char* log_dir = "";  // the job log root
  uint32_t keep = 0;         // job logs kept per job; 0 = all
  void* hook_context = nullptr;
  // Called between checks of the program: about every 50 ms, and at once when the descriptor
  // that wake_fd names (asked before every wait; -1 = none) becomes readable.
  void (*idle)(void* context) = nullptr;
  int (*wake_fd)(void* context) = nullptr;
  // Whether the run is asked to stop; when it is, by gets who asked (the job log's
  // "cancelled_by" value). Asked before the program starts too.
  bool (*cancel)(void* context, char (&by)[kJobLogCancelledBySize]) = nullptr;
  // Called once the RUNNING mark is saved, right before the program starts.
  void (*started)(void* context) = nullptr;
};

// Runs job once. Requires: queue re-read under the lock. The lock is released while the program
// runs and taken again before the end state is written. On return the entry holds the result in
// memory: the caller saves the queue, releases the lock and notifies. Returns result.result
// (kRunDone, kRunFailed or kRunBusy), or kRunNotStarted when the RUNNING mark could not be saved
// or a cancel was asked before the start: then the entry is as it was, the lock is still held
// and result.not_started_why says why.
uint32_t job_run(const JobConfig& job, const JobRunSettings& settings, QueueState& queue,
                 QueueLock& lock, RunResult& result);

}  // namespace vrk
