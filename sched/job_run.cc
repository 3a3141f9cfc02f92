#include "sched/job_run.h"

#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "common/error.h"
#include "common/fd.h"
#include "common/log.h"
#include "common/spawn.h"
#include "common/text.h"
#include "sched/job_argv.h"
#include "sched/job_log.h"
#include "sched/queue.h"
#include "sched/queue_sync.h"

namespace vrk {
namespace {

inline constexpr int kArgvErrSize = 256;

const char* run_result_word(uint32_t result) {
  switch (result) {
    case kRunDone:
      return "done";
    case kRunBusy:
      return "busy";
    default:
      return "failed";
  }
}

// The job's entry, appended (and the queue saved) when it is missing; nullptr only when the
// entry could not be added at all.
QueueEntry* job_run_entry(QueueState& queue, const JobConfig& job) {
  QueueEntry* e = queue_find(queue, text_view(job.name));
  if (e != nullptr) {
    return e;
  }
  QueueEntry fresh = queue_entry_make(text_view(job.name));
  // Armed like a job the daemon adds: with "never" and no fingerprint, a job first run by hand
  // (before any daemon saw it) would never be scheduled until its schedule was edited.
  fresh.next_run = queue_first_run_time(job, static_cast<int64_t>(time(nullptr)));
  fresh.schedule_fingerprint = job_schedule_fingerprint(job);
  // A failed save is logged by queue_save; the entry is in memory either way and the caller's
  // save writes it again.
  (void)queue_upsert(queue, fresh);
  return queue_find(queue, text_view(job.name));
}

// The command text: the elements joined by single spaces, cut to the buffer.
void job_run_command_text(char (&out)[kRunCommandSize], const std::vector<const char*>& argv,
                          int count) {
  size_t used = 0;
  out[0] = '\0';
  for (int i = 0; i < count && used < sizeof out - 1; ++i) {
    if (i > 0) {
      out[used++] = ' ';
    }
    std::string_view part(argv[static_cast<size_t>(i)]);
    size_t n = std::min(part.size(), sizeof out - 1 - used);
    memcpy(out + used, part.data(), n);
    used += n;
  }
  out[used] = '\0';
}

// What the wait's callbacks share: the caller's settings, and who asked for the stop once
// someone has (only the first request counts, like the first of timeout and cancel).
struct WaitHooks {
  const JobRunSettings* settings = nullptr;
  bool cancel_asked = false;
  char cancelled_by[kJobLogCancelledBySize] = {};
};

int job_run_idle(void* p) {
  auto* hooks = static_cast<WaitHooks*>(p);
  const JobRunSettings& s = *hooks->settings;
  if (s.idle != nullptr) {
    s.idle(s.hook_context);
  }
  if (!hooks->cancel_asked && s.cancel != nullptr &&
      s.cancel(s.hook_context, hooks->cancelled_by)) {
    hooks->cancel_asked = true;
    if (hooks->cancelled_by[0] == '\0') {
      text_copy_cut(hooks->cancelled_by, "?");
    }
  }
  return hooks->cancel_asked ? 1 : 0;
}

int job_run_wake_fd(void* p) {
  const JobRunSettings& s = *static_cast<WaitHooks*>(p)->settings;
  return s.wake_fd != nullptr ? s.wake_fd(s.hook_context) : -1;
}

// The result by the order of the rules: not started, cancelled, timed out, then the status.
uint32_t job_run_outcome(int spawn_rc, const SpawnStatus& status) {
  if (spawn_rc != 0 || status.cancelled != 0 || status.timed_out != 0) {
    return kRunFailed;
  }
  if (status.exit_code == 0) {
    return kRunDone;
  }
  return status.exit_code == kBusyExitCode ? kRunBusy : kRunFailed;
}

JobState job_run_end_state(uint32_t outcome) {
  return outcome == kRunDone   ? JobState::kDone
         : outcome == kRunBusy ? JobState::kPending
                               : JobState::kFailed;
}

uint32_t job_run_not_started(RunResult& result) {
  result.result = kRunNotStarted;
  return kRunNotStarted;
}

}  // namespace

uint32_t job_run(const JobConfig& job, const JobRunSettings& settings, QueueState& queue,
                 QueueLock& lock, RunResult& result) {
  result = RunResult{};
  std::vector<const char*> argv;
  int count = 0;
  char argv_err[kArgvErrSize];
  if (job_build_argv(job, settings.background ? 1 : 0, argv, count, argv_err) != 0) {
    log_msg(kLogError, "vrk_sched: job '%s': cannot build argv: %s", job.name, argv_err);
    int64_t now = clock_unix_now();
    if (QueueEntry* e = job_run_entry(queue, job)) {
      queue_entry_record_unbuildable(*e, now);
    }
    result.result = kRunFailed;
    result.start = now;
    result.finish = now;
    result.exit_code = -1;
    snprintf(result.command, sizeof result.command, "(cannot build the command line: %s)",
             argv_err);
    return kRunFailed;
  }
  job_run_command_text(result.command, argv, count);

  WaitHooks hooks;
  hooks.settings = &settings;
  if (settings.cancel != nullptr && settings.cancel(settings.hook_context, hooks.cancelled_by)) {
    snprintf(result.not_started_why, sizeof result.not_started_why,
             "cancelled before it started (%s)", hooks.cancelled_by);
    return job_run_not_started(result);
  }
  // The program starts only once its RUNNING mark is on disk. A run the file does not show
  // would leave the job due there, so every later pass would start it again, alongside this one.
  const int64_t start = clock_unix_now();
  QueueEntry* mark = job_run_entry(queue, job);
  const QueueEntry before = mark != nullptr ? *mark : QueueEntry{};
  if (mark != nullptr) {
    queue_entry_mark_running(*mark, start, getpid());
  }
  char why[kQueueSaveWhySize];
  int save_rc = mark != nullptr ? queue_save_why(queue, why) : kErrNoMem;
  if (save_rc != 0) {
    if (mark != nullptr) {
      *mark = before;
    }
    snprintf(result.not_started_why, sizeof result.not_started_why, "cannot save the queue %s: %s",
             queue.path, mark != nullptr ? why : error_text(kErrNoMem));
    return job_run_not_started(result);
  }
  lock.release();
  if (settings.started != nullptr) {
    settings.started(settings.hook_context);
  }

  UniqueFd log_fd = job_log_open(settings.log_dir, job.name, start, result.job_log);
  if (log_fd.valid()) {
    job_log_header(log_fd.get(), job.name, argv, count, start);
  }
  log_msg(kLogInfo, "vrk_sched: job '%s' starting (%s)", job.name, argv[0]);

  SpawnStatus status;
  SpawnWaitOptions wait;
  wait.idle_callback = job_run_idle;
  wait.callback_context = &hooks;
  wait.wake_fd = job_run_wake_fd;
  int spawn_rc =
      spawn_wait_with(argv.data(), settings.timeout != 0 ? settings.timeout : kRunDefaultTimeout,
                      log_fd.get(), wait, status);

  const int64_t finish = clock_unix_now();
  const bool cancelled = spawn_rc == 0 && status.cancelled != 0;
  const uint32_t outcome = job_run_outcome(spawn_rc, status);
  const int32_t exit_code = spawn_rc != 0 ? -1 : status.exit_code;
  if (log_fd.valid()) {
    job_log_write_footer(log_fd.get(), finish, exit_code, status.timed_out != 0,
                         cancelled ? hooks.cancelled_by : nullptr);
    log_fd.reset();
  }
  job_log_prune(settings.log_dir, job.name, settings.keep);
  log_msg(kLogInfo, "vrk_sched: job '%s' finished exit=%d timed_out=%d%s result=%s", job.name,
          exit_code, status.timed_out != 0 ? 1 : 0, cancelled ? " cancelled=1" : "",
          run_result_word(outcome));

  // Other processes may have changed other entries while the lock was free: re-read before
  // writing the end state so that their changes are kept.
  lock.take(queue.path);
  (void)queue_reload_or_keep(queue);
  if (QueueEntry* e = job_run_entry(queue, job)) {
    queue_entry_record_end(*e, job_run_end_state(outcome), exit_code, start, finish);
  }
  result.result = outcome;
  result.start = start;
  result.finish = finish;
  result.exit_code = exit_code;
  result.timed_out = status.timed_out != 0 ? 1 : 0;
  return outcome;
}

}  // namespace vrk
