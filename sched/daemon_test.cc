#include "sched/daemon.h"

#include <stdio.h>
#include <string.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sched/api/state.h"
#include "sched/queue.h"

namespace vrk {
namespace {

QueueEntry entry(const char* name, JobState state, int64_t next_run, int64_t last_finish,
                 int64_t mark) {
  QueueEntry e = queue_entry_make(name);
  e.state = state;
  e.next_run = next_run;
  e.last_finish = last_finish;
  e.dependency_mark = mark;
  return e;
}

JobConfig job(const char* name, bool schedule, std::initializer_list<const char*> after,
              uint32_t mode = kAfterModeSuccess) {
  JobConfig j;
  config_job_reset(j);
  snprintf(j.name, sizeof j.name, "%s", name);
  j.has_schedule = schedule;
  for (const char* a : after) {
    snprintf(j.after[j.after_count++], kJobNameSize, "%s", a);
  }
  j.after_mode = mode;
  return j;
}

TEST(JobIsDue, Table) {
  const int64_t now = 1000000;
  struct Case {
    const char* what;
    JobConfig job;
    std::vector<QueueEntry> entries;
    bool want;
    int64_t want_trigger;
  };
  JobConfig disabled = job("j", true, {});
  disabled.enabled = 0;
  const Case cases[] = {
      {"schedule due", job("j", true, {}), {entry("j", JobState::kDone, now, 0, 0)}, true, 0},
      {"schedule later",
       job("j", true, {}),
       {entry("j", JobState::kDone, now + 1, 0, 0)},
       false,
       0},
      {"never", job("j", true, {}), {entry("j", JobState::kPending, kQueueNever, 0, 0)}, false, 0},
      {"no entry", job("j", true, {}), {}, false, 0},
      {"running", job("j", true, {}), {entry("j", JobState::kRunning, 0, 0, 0)}, false, 0},
      {"disabled", disabled, {entry("j", JobState::kPending, 0, 0, 0)}, false, 0},
      {"after done",
       job("j", false, {"a", "b"}),
       {entry("j", JobState::kPending, kQueueNever, 0, 0), entry("a", JobState::kDone, 0, 50, 0),
        entry("b", JobState::kDone, 0, 70, 0)},
       true,
       70},
      {"after already triggered",
       job("j", false, {"a"}),
       {entry("j", JobState::kDone, kQueueNever, 0, 50), entry("a", JobState::kDone, 0, 50, 0)},
       false,
       50},
      {"after failed, mode success",
       job("j", false, {"a"}),
       {entry("j", JobState::kPending, 0, 0, 0), entry("a", JobState::kFailed, 0, 50, 0)},
       false,
       0},
      {"after failed, mode finished",
       job("j", false, {"a"}, kAfterModeFinished),
       {entry("j", JobState::kPending, 0, 0, 0), entry("a", JobState::kFailed, 0, 50, 0)},
       true,
       50},
      {"after one still running",
       job("j", false, {"a", "b"}, kAfterModeFinished),
       {entry("j", JobState::kPending, 0, 0, 0), entry("a", JobState::kDone, 0, 50, 0),
        entry("b", JobState::kRunning, 0, 40, 0)},
       false,
       0},
      {"after dependency without entry",
       job("j", false, {"a"}),
       {entry("j", JobState::kPending, 0, 0, 0)},
       false,
       0},
      {"schedule and after: time not yet",
       job("j", true, {"a"}),
       {entry("j", JobState::kPending, now + 60, 0, 0), entry("a", JobState::kDone, 0, 50, 0)},
       false,
       0},
      {"schedule and after: both",
       job("j", true, {"a"}),
       {entry("j", JobState::kPending, now - 60, 0, 10), entry("a", JobState::kDone, 0, 50, 0)},
       true,
       50},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QueueState q;
    q.entries = c.entries;
    int64_t trigger = -1;
    EXPECT_EQ(job_is_due(q, c.job, now, trigger), c.want);
    if (c.want) {
      EXPECT_EQ(trigger, c.want_trigger);
    }
  }
}

TEST(DaemonSleepEndsEarly, QueuedRunsWaitForAForeignRun) {
  struct Case {
    const char* what;
    uint64_t queued;
    uint32_t config_changed;
    bool run_blocked;
    bool want;
  };
  const Case cases[] = {
      {"nothing to do", 0, 0, false, false},
      {"queued run", 1, 0, false, true},
      // Waking would only find the foreign run again: a spin that never pumps the network.
      {"queued run behind a foreign run", 1, 0, true, false},
      {"config changed", 0, 1, false, true},
      {"config changed behind a foreign run", 0, 1, true, true},
  };
  auto api = std::make_unique<ApiState>();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    api->run_queue_count = c.queued;
    api->config_changed = c.config_changed;
    EXPECT_EQ(daemon_sleep_ends_early(*api, c.run_blocked), c.want);
  }
}

}  // namespace
}  // namespace vrk
