#include "sched/queue_sync.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "common/bytes.h"
#include "common/error.h"
#include "common/fd.h"
#include "common/log.h"
#include "common/text.h"
#include "sched/cron.h"

namespace vrk {
namespace {

constexpr uint32_t kFnvOffsetBasis = 2166136261u;
constexpr uint32_t kFnvPrime = 16777619u;

// The first line of /proc/<pid>/comm is read up to this many bytes.
constexpr size_t kCommReadBytes = 31;

// Reads the first line of /proc/<pid>/comm into out; false when it cannot be read.
bool queue_read_comm(uint32_t pid, char (&out)[kCommReadBytes + 1]) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%u/comm", pid);
  UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    return false;
  }
  ssize_t n;
  do {
    n = read(fd.get(), out, kCommReadBytes);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    return false;
  }
  out[n] = '\0';
  out[strcspn(out, "\n")] = '\0';
  return true;
}

uint32_t fnv1a(uint32_t h, const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    h ^= p[i];
    h *= kFnvPrime;
  }
  return h;
}

size_t queue_job_count(const SchedConfig& cfg) {
  return cfg.job_count < static_cast<uint64_t>(kMaxJobs) ? static_cast<size_t>(cfg.job_count)
                                                         : static_cast<size_t>(kMaxJobs);
}

}  // namespace

bool queue_runner_alive(const QueueEntry& entry) {
  const uint32_t pid = queue_entry_pid(entry);
  if (entry.state != JobState::kRunning || pid == 0 || pid == static_cast<uint32_t>(getpid())) {
    return false;
  }
  char comm[kCommReadBytes + 1];
  return queue_read_comm(pid, comm) && strcmp(comm, kQueueRunnerComm) == 0;
}

int queue_mark_stale(QueueState& q) {
  bool changed = false;
  for (QueueEntry& e : q.entries) {
    if (e.state == JobState::kRunning && !queue_runner_alive(e)) {
      log_msg(kLogError,
              "vrk_sched: job '%s' is RUNNING in the queue file, but its runner (pid %u) is gone "
              "-- marked FAILED",
              e.name, queue_entry_pid(e));
      e.state = JobState::kFailed;
      queue_entry_set_pid(e, 0);
      changed = true;
    }
  }
  if (!changed) {
    return 0;
  }
  int rc = queue_save(q);
  return rc != 0 ? rc : 1;
}

QueueEntry* queue_find_live_running(QueueState& q) {
  for (QueueEntry& e : q.entries) {
    if (queue_runner_alive(e)) {
      return &e;
    }
  }
  return nullptr;
}

const QueueEntry* queue_find_live_running(const QueueState& q) {
  return queue_find_live_running(const_cast<QueueState&>(q));
}

uint32_t job_schedule_fingerprint(const JobConfig& job) {
  uint32_t h = kFnvOffsetBasis;
  const uint8_t has_schedule = job.has_schedule != 0 ? 1 : 0;
  h = fnv1a(h, &has_schedule, 1);
  if (has_schedule != 0) {
    h = fnv1a(h, job.schedule.flags, kCronFlagCount);
  }
  const uint8_t has_once = job.has_once != 0 ? 1 : 0;
  h = fnv1a(h, &has_once, 1);
  if (has_once != 0) {
    uint8_t once[8];
    put_u64le(once, static_cast<uint64_t>(job.once_time));
    h = fnv1a(h, once, sizeof once);
  }
  return h != 0 ? h : 1;
}

int64_t queue_first_run_time(const JobConfig& job, int64_t now) {
  if (job.has_schedule != 0) {
    int64_t t = cron_next(job.schedule, now, true);
    return t == kCronNoMatch ? kQueueNever : t;
  }
  if (job.has_once != 0) {
    return job.once_time;
  }
  return kQueueNever;
}

int queue_sync(QueueState& q, const SchedConfig& cfg, int64_t now, bool read_only) {
  bool changed = false;
  const size_t jobs = queue_job_count(cfg);
  // Name look-ups through indexes: a linear search per job costs jobs x entries comparisons.
  QueueIndex index;
  if (queue_index_build(q, jobs, index) != 0) {
    return -1;
  }
  for (size_t j = 0; j < jobs; ++j) {
    const JobConfig& job = cfg.jobs[j];
    const int64_t at = queue_index_find(q, index, text_view(job.name));
    QueueEntry* e = at < 0 ? nullptr : &q.entries[static_cast<size_t>(at)];
    if (e != nullptr) {
      if (job.enabled == 0) {
        // A live run stays RUNNING until it ends: disabled now, it would no longer keep other
        // jobs from starting beside it. Its runner's end-of-run write stores DONE or FAILED,
        // which the next reconciliation disables. An entry naming this very process counts as
        // dead: no process reconciles while it runs a job itself (the daemon's loop is inside
        // job_run then), so such an entry is left over from an earlier process with this pid.
        if (e->state != JobState::kDisabled && !queue_runner_alive(*e)) {
          e->state = JobState::kDisabled;
          changed = true;
        }
      } else if (e->state == JobState::kDisabled) {
        e->state = JobState::kPending;
        e->next_run = queue_first_run_time(job, now);
        e->schedule_fingerprint = job_schedule_fingerprint(job);
        changed = true;
      }
      continue;
    }
    QueueEntry fresh;
    text_copy_cut(fresh.name, text_view(job.name));
    fresh.exit_code = -1;
    if (job.enabled != 0) {
      fresh.state = JobState::kPending;
      fresh.next_run = queue_first_run_time(job, now);
      fresh.schedule_fingerprint = job_schedule_fingerprint(job);
    } else {
      fresh.state = JobState::kDisabled;
      fresh.next_run = kQueueNever;
    }
    if (queue_append(q, fresh) != 0) {
      return -1;
    }
    queue_index_add(q, index, q.entries.size() - 1);
    if (!read_only) {
      log_msg(kLogInfo, "vrk_sched: new job '%s' added to the queue", fresh.name);
    }
    changed = true;
  }

  // Drop entries of jobs that left the configuration, keeping the order of the rest.
  JobNameIndex names;
  config_job_index_build(cfg, names);
  size_t keep = 0;
  for (size_t i = 0; i < q.entries.size(); ++i) {
    QueueEntry& e = q.entries[i];
    if (config_job_index_find(cfg, names, text_view(e.name)) < 0) {
      if (!read_only) {
        log_msg(kLogInfo, "vrk_sched: job '%s' removed from config, dropping its queue record",
                e.name);
      }
      changed = true;
      continue;
    }
    if (keep != i) {
      q.entries[keep] = e;
    }
    ++keep;
  }
  q.entries.resize(keep);
  return changed ? 1 : 0;
}

int queue_refresh_schedules(QueueState& q, const SchedConfig& cfg, int64_t now) {
  bool changed = false;
  const size_t jobs = queue_job_count(cfg);
  QueueIndex index;
  const bool indexed = queue_index_build(q, 0, index) == 0;  // else the linear search
  for (size_t j = 0; j < jobs; ++j) {
    const JobConfig& job = cfg.jobs[j];
    if (job.enabled == 0 || (job.has_schedule == 0 && job.has_once == 0)) {
      continue;
    }
    QueueEntry* e = nullptr;
    if (indexed) {
      const int64_t at = queue_index_find(q, index, text_view(job.name));
      e = at < 0 ? nullptr : &q.entries[static_cast<size_t>(at)];
    } else {
      e = queue_find(q, text_view(job.name));
    }
    // Left alone: disabled and running entries, and a busy run waiting for its retry.
    if (e == nullptr || e->state == JobState::kDisabled || e->state == JobState::kRunning ||
        (e->state == JobState::kPending && e->last_run > 0)) {
      continue;
    }
    const uint32_t fp = job_schedule_fingerprint(job);
    if (fp == e->schedule_fingerprint) {
      continue;
    }
    // A stored 0 predates fingerprints: take the new one without moving the next run.
    if (e->schedule_fingerprint != 0) {
      e->next_run = queue_first_run_time(job, now);
    }
    e->schedule_fingerprint = fp;
    changed = true;
  }
  return changed ? 1 : 0;
}

int queue_sync_and_save(QueueState& q, const SchedConfig& cfg, int64_t now) {
  int rc = queue_sync(q, cfg, now, false);
  if (rc < 0) {
    return kErrNoMem;
  }
  return rc > 0 ? queue_save(q) : 0;
}

int queue_refresh_and_save(QueueState& q, const SchedConfig& cfg, int64_t now) {
  return queue_refresh_schedules(q, cfg, now) > 0 ? queue_save(q) : 0;
}

int queue_view_sync(QueueState& q, const SchedConfig& cfg, int64_t now) {
  if (queue_sync(q, cfg, now, true) < 0) {
    return kErrNoMem;
  }
  queue_refresh_schedules(q, cfg, now);
  return 0;
}

void queue_entry_mark_running(QueueEntry& entry, int64_t start, int64_t pid) {
  entry.state = JobState::kRunning;
  entry.last_run = start;
  queue_entry_set_pid(entry, pid);
}

void queue_entry_record_end(QueueEntry& entry, JobState end_state, int32_t exit_code, int64_t start,
                            int64_t finish) {
  entry.state = end_state;
  entry.exit_code = exit_code;
  entry.last_run = start;
  entry.last_finish = finish;
  queue_entry_set_pid(entry, 0);
}

void queue_entry_record_unbuildable(QueueEntry& entry, int64_t now) {
  queue_entry_record_end(entry, JobState::kFailed, -1, now, now);
}

void queue_entry_schedule_after_run(QueueEntry& entry, const JobConfig& job, bool busy, int64_t now,
                                    uint32_t busy_retry, int64_t trigger) {
  if (busy) {
    entry.next_run = now + busy_retry;
    return;
  }
  if (job.has_schedule) {
    int64_t next = cron_next(job.schedule, now, false);
    entry.next_run = next == kCronNoMatch ? kQueueNever : next;
  } else if (job.has_once) {
    entry.next_run = kQueueNever;
  }
  entry.schedule_fingerprint = job_schedule_fingerprint(job);
  if (job.after_count > 0) {
    entry.dependency_mark = trigger;
  }
}

}  // namespace vrk
