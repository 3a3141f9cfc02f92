// Reconciling the queue with the configuration, finding live and stale runs, and the entry
// changes of a run: the state transitions of QueueEntry that the runner, the run commands and
// the daemon make. The file itself, its layout and its lock are in queue.h.
#pragma once

#include <stdint.h>

#include "sched/config.h"
#include "sched/queue.h"

namespace vrk {

// True when entry is RUNNING with a non-zero pid that is not the calling process and whose
// /proc/<pid>/comm reads exactly "vrk_sched".
bool queue_runner_alive(const QueueEntry& entry);

// Marks every RUNNING entry whose runner is not alive FAILED (pid 0), logging each at ERROR,
// and saves when anything changed. 1 changed and saved, 0 nothing to do, or the save's error
// kind (the entries stay changed in memory).
int queue_mark_stale(QueueState& q);

// The first RUNNING entry whose runner is alive, or nullptr.
QueueEntry* queue_find_live_running(QueueState& q);
const QueueEntry* queue_find_live_running(const QueueState& q);

// 32-bit FNV-1a over the job's schedule and once time; never 0. Changes exactly when the
// schedule or the once time changes.
uint32_t job_schedule_fingerprint(const JobConfig& job);

// The first run time of job at now: the schedule's next match from the start of the current
// minute, its once time, or kQueueNever (no schedule match, or 'after' only).
int64_t queue_first_run_time(const JobConfig& job, int64_t now);

// Reconciles the entries with the configuration's jobs: enables, disables, adds new jobs and
// drops entries of removed jobs (logging additions and removals at INFO unless read_only). A
// disabled job's RUNNING entry stays RUNNING while its runner is alive (queue_runner_alive).
// 1 changed, 0 unchanged, -1 out of memory. Never saves.
int queue_sync(QueueState& q, const SchedConfig& cfg, int64_t now, bool read_only);

// Stores changed schedule fingerprints and re-arms next run where a stored fingerprint was
// set (idle entries only). 1 changed, 0 unchanged. Never saves.
int queue_refresh_schedules(QueueState& q, const SchedConfig& cfg, int64_t now);

// queue_sync (not read-only), saving when changed. 0, kErrNoMem, or the save's error kind.
int queue_sync_and_save(QueueState& q, const SchedConfig& cfg, int64_t now);

// queue_refresh_schedules, saving when changed. 0 or the save's error kind.
int queue_refresh_and_save(QueueState& q, const SchedConfig& cfg, int64_t now);

// For displays: queue_sync read-only, then queue_refresh_schedules, in memory only; nothing is
// logged or written. 0 or kErrNoMem.
int queue_view_sync(QueueState& q, const SchedConfig& cfg, int64_t now);

// --- The entry changes of one run -------------------------------------------------------

// A run starts: RUNNING, last run = start, runner pid = pid.
void queue_entry_mark_running(QueueEntry& entry, int64_t start, int64_t pid);

// A run ended with end_state (DONE, PENDING for busy, or FAILED): exit code, last run = start,
// last finish = finish, runner pid 0.
void queue_entry_record_end(QueueEntry& entry, JobState end_state, int32_t exit_code, int64_t start,
                            int64_t finish);

// A run that could not be started because its command line cannot be built: FAILED, exit code
// -1, last run = last finish = now, runner pid 0.
void queue_entry_record_unbuildable(QueueEntry& entry, int64_t now);

// The daemon's bookkeeping after a scheduled run at now. Busy: next run = now + busy_retry and
// nothing else (the dependency mark stays, so the trigger is not used up). Otherwise: the next
// schedule match after the current minute (never when none), never for a once job, unchanged
// for an 'after'-only job; the fingerprint of the job; the dependency mark = trigger for a job
// with 'after'.
void queue_entry_schedule_after_run(QueueEntry& entry, const JobConfig& job, bool busy, int64_t now,
                                    uint32_t busy_retry, int64_t trigger);

}  // namespace vrk
