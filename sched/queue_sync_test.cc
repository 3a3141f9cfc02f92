#include "sched/queue_sync.h"

#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/error.h"
#include "common/fd.h"
#include "common/test_stderr.h"
#include "common/test_tz.h"
#include "sched/config.h"
#include "sched/cron.h"
#include "sched/queue.h"

namespace vrk {
namespace {

// 2023-11-14 22:13:50 UTC; its minute starts at 1699999980.
constexpr int64_t kNow = 1700000030;
constexpr int64_t kNowMinute = 1699999980;
// 2023-11-15 03:00 UTC.
constexpr int64_t kNextThreeAm = 1700017200;
// Above the largest pid_max Linux allows: never a live process.
constexpr int64_t kDeadPid = 16000000;

// A child process named comm that lives as long as the object.
struct NamedChild {
  pid_t pid = -1;
  UniqueFd hold;

  explicit NamedChild(const char* comm) {
    int life[2];
    int ready[2];
    EXPECT_EQ(pipe2(life, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(ready, O_CLOEXEC), 0);
    fflush(nullptr);
    pid = fork();
    if (pid == 0) {
      prctl(PR_SET_NAME, comm);
      char c = 1;
      (void)!write(ready[1], &c, 1);
      close(life[1]);
      (void)!read(life[0], &c, 1);  // returns once the parent closes its end
      _exit(0);
    }
    close(life[0]);
    close(ready[1]);
    char c;
    EXPECT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    hold.reset(life[1]);
  }
  ~NamedChild() {
    hold.reset();
    waitpid(pid, nullptr, 0);
  }
};

// Schedules are local time: the fixture pins TZ to UTC and restores it afterwards.
class QueueSync : public ::testing::Test {
 protected:
  void SetUp() override {
    cfg_ = std::make_unique<SchedConfig>();
    config_reset(*cfg_);
    char tmpl[] = "/tmp/vrk_qsync_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/queue.state";
    snprintf(q_.path, sizeof q_.path, "%s", path_.c_str());
  }
  void TearDown() override {
    queue_free(q_);
    config_free(*cfg_);
    nftw(
        dir_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); },
        16, FTW_DEPTH | FTW_PHYS);
  }

  JobConfig& add_job(const char* name, const char* schedule, int64_t once = 0,
                     bool enabled = true) {
    JobConfig& job = cfg_->jobs[cfg_->job_count++];
    config_job_reset(job);
    snprintf(job.name, sizeof job.name, "%s", name);
    job.enabled = enabled ? 1 : 0;
    if (schedule != nullptr) {
      char err[kCronErrSize];
      EXPECT_EQ(cron_parse(schedule, job.schedule, err), 0) << err;
      job.has_schedule = 1;
    }
    if (once != 0) {
      job.has_once = 1;
      job.once_time = once;
    }
    return job;
  }
  QueueEntry& add_entry(const char* name, JobState state) {
    QueueEntry e = queue_entry_make(name);
    e.state = state;
    EXPECT_EQ(queue_append(q_, e), 0);
    return q_.entries.back();
  }
  std::vector<std::string> names() {
    std::vector<std::string> out;
    for (const QueueEntry& e : q_.entries) {
      out.push_back(e.name);
    }
    return out;
  }
  bool exists() {
    struct stat st;
    return stat(path_.c_str(), &st) == 0;
  }

  TestTz tz_{"UTC"};
  std::string dir_;
  std::string path_;
  QueueState q_;
  std::unique_ptr<SchedConfig> cfg_;
};

// Runs f and returns what it wrote to standard error.
template <typename F>
std::string capture_log(F f) {
  StderrCapture cap;
  f();
  return cap.text();
}

bool has_line(const std::string& log, const std::string& msg) {
  return log.find(msg + "\n") != std::string::npos;
}

TEST_F(QueueSync, NewJobsGetStateAndFirstRunTime) {
  struct Case {
    const char* name;
    const char* schedule;
    int64_t once;
    bool enabled;
    JobState want_state;
    int64_t want_next;
  };
  const Case cases[] = {
      {"every-minute", "* * * * *", 0, true, JobState::kPending, kNowMinute},
      {"nightly", "0 3 * * *", 0, true, JobState::kPending, kNextThreeAm},
      {"never-matches", "0 0 31 2 *", 0, true, JobState::kPending, kQueueNever},
      {"once", nullptr, 1800000000, true, JobState::kPending, 1800000000},
      {"after-only", nullptr, 0, true, JobState::kPending, kQueueNever},
      {"off", "* * * * *", 0, false, JobState::kDisabled, kQueueNever},
  };
  for (const Case& c : cases) {
    add_job(c.name, c.schedule, c.once, c.enabled);
  }
  int rc = 0;
  std::string log = capture_log([&] { rc = queue_sync(q_, *cfg_, kNow, false); });
  EXPECT_EQ(rc, 1);
  ASSERT_EQ(q_.entries.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    const QueueEntry& e = q_.entries[i];
    EXPECT_STREQ(e.name, c.name);
    EXPECT_EQ(e.state, c.want_state);
    EXPECT_EQ(e.next_run, c.want_next);
    EXPECT_EQ(e.schedule_fingerprint, c.enabled ? job_schedule_fingerprint(cfg_->jobs[i]) : 0u);
    EXPECT_EQ(e.exit_code, -1);
    EXPECT_EQ(queue_entry_pid(e), 0u);
    EXPECT_EQ(e.last_run, 0);
    EXPECT_EQ(e.last_finish, 0);
    EXPECT_EQ(e.dependency_mark, 0);
    EXPECT_TRUE(
        has_line(log, std::string("INFO  vrk_sched: new job '") + c.name + "' added to the queue"));
  }
  // Nothing left to do.
  log = capture_log([&] { rc = queue_sync(q_, *cfg_, kNow + 3600, false); });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(log, "");
  EXPECT_EQ(q_.entries[0].next_run, kNowMinute);
}

TEST_F(QueueSync, RemovedJobsAreDroppedKeepingOrder) {
  for (const char* n : {"a", "b", "c", "stray", "d"}) {
    add_entry(n, JobState::kDone);
  }
  add_job("d", nullptr);
  add_job("a", nullptr);
  add_job("c", nullptr);
  struct Case {
    bool read_only;
    bool want_log;
  };
  for (const Case& c : {Case{true, false}, Case{false, true}}) {
    SCOPED_TRACE(c.read_only);
    QueueState copy;
    copy.entries = q_.entries;
    int rc = 0;
    std::string log = capture_log([&] { rc = queue_sync(copy, *cfg_, kNow, c.read_only); });
    EXPECT_EQ(rc, 1);
    std::vector<std::string> got;
    for (const QueueEntry& e : copy.entries) {
      got.push_back(e.name);
    }
    EXPECT_EQ(got, (std::vector<std::string>{"a", "c", "d"}));
    for (const char* n : {"b", "stray"}) {
      EXPECT_EQ(has_line(log, std::string("INFO  vrk_sched: job '") + n +
                                  "' removed from config, dropping its queue record"),
                c.want_log);
    }
    if (!c.want_log) {
      EXPECT_EQ(log, "");
    }
  }
}

TEST_F(QueueSync, ReadOnlySyncAddsSilently) {
  add_job("a", "* * * * *");
  int rc = 0;
  EXPECT_EQ(capture_log([&] { rc = queue_sync(q_, *cfg_, kNow, true); }), "");
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(names(), std::vector<std::string>{"a"});
  EXPECT_FALSE(exists());
}

TEST_F(QueueSync, DisablingAndEnablingKeepsHistory) {
  JobConfig& job = add_job("x", "0 3 * * *", 0, false);
  QueueEntry& e = add_entry("x", JobState::kRunning);
  queue_entry_set_pid(e, kDeadPid);
  e.last_run = 5;
  e.last_finish = 6;
  e.exit_code = 3;
  e.next_run = 77;
  // A disabled job's RUNNING entry whose runner is gone becomes DISABLED; nothing else changes.
  EXPECT_EQ(queue_sync(q_, *cfg_, kNow, true), 1);
  EXPECT_EQ(q_.entries[0].state, JobState::kDisabled);
  EXPECT_EQ(q_.entries[0].next_run, 77);
  EXPECT_EQ(queue_sync(q_, *cfg_, kNow, true), 0);

  job.enabled = 1;
  EXPECT_EQ(queue_sync(q_, *cfg_, kNow, true), 1);
  const QueueEntry& back = q_.entries[0];
  EXPECT_EQ(back.state, JobState::kPending);
  EXPECT_EQ(back.next_run, kNextThreeAm);
  EXPECT_EQ(back.schedule_fingerprint, job_schedule_fingerprint(job));
  EXPECT_EQ(queue_entry_pid(back), static_cast<uint32_t>(kDeadPid));
  EXPECT_EQ(back.last_run, 5);
  EXPECT_EQ(back.last_finish, 6);
  EXPECT_EQ(back.exit_code, 3);
  EXPECT_EQ(queue_sync(q_, *cfg_, kNow, true), 0);
}

// A live run of a job that gets disabled stays RUNNING, so that it keeps other jobs from
// starting beside it, and is disabled at the first reconciliation after it ended.
TEST_F(QueueSync, DisablingSparesOnlyALiveRun) {
  NamedChild runner("vrk_sched");
  NamedChild other("vrk_other");
  struct Row {
    const char* name;
    JobState state;
    int64_t pid;
    JobState want;
  };
  const Row rows[] = {
      {"live-run", JobState::kRunning, runner.pid, JobState::kRunning},
      {"own-pid", JobState::kRunning, getpid(), JobState::kDisabled},
      {"other-program", JobState::kRunning, other.pid, JobState::kDisabled},
      {"gone", JobState::kRunning, kDeadPid, JobState::kDisabled},
      {"pid-zero", JobState::kRunning, 0, JobState::kDisabled},
      {"pending", JobState::kPending, 0, JobState::kDisabled},
      {"done-by-live-pid", JobState::kDone, runner.pid, JobState::kDisabled},
      {"failed", JobState::kFailed, 0, JobState::kDisabled},
  };
  for (const Row& r : rows) {
    add_job(r.name, "0 3 * * *", 0, false);
    QueueEntry& e = add_entry(r.name, r.state);
    queue_entry_set_pid(e, r.pid);
    e.next_run = 77;
  }
  for (bool read_only : {true, false}) {
    SCOPED_TRACE(read_only);
    QueueState copy;
    copy.entries = q_.entries;
    EXPECT_EQ(queue_sync(copy, *cfg_, kNow, read_only), 1);
    for (size_t i = 0; i < std::size(rows); ++i) {
      SCOPED_TRACE(rows[i].name);
      EXPECT_EQ(copy.entries[i].state, rows[i].want);
      EXPECT_EQ(queue_entry_pid(copy.entries[i]), static_cast<uint32_t>(rows[i].pid));
      EXPECT_EQ(copy.entries[i].next_run, 77);
    }
    // Nothing more to do while the run goes on.
    EXPECT_EQ(queue_sync(copy, *cfg_, kNow, read_only), 0);
  }
  // The run ends: its runner stores the result, and the next reconciliation disables it.
  ASSERT_EQ(queue_sync(q_, *cfg_, kNow, false), 1);
  QueueEntry* ended = queue_find(q_, "live-run");
  ASSERT_NE(ended, nullptr);
  ended->state = JobState::kDone;
  queue_entry_set_pid(*ended, 0);
  EXPECT_EQ(queue_sync(q_, *cfg_, kNow, false), 1);
  EXPECT_EQ(ended->state, JobState::kDisabled);
}

TEST_F(QueueSync, RefreshReArmsEditedSchedulesOfIdleEntries) {
  constexpr int64_t kOldOnce = 1750000000;
  constexpr int64_t kNewOnce = 1800000000;
  constexpr int64_t kStoredNext = 1234;
  JobConfig old_job = {};
  old_job.has_once = 1;
  old_job.once_time = kOldOnce;
  const uint32_t old_fp = job_schedule_fingerprint(old_job);

  enum Stored { kZero, kOld, kCurrent };
  struct Row {
    const char* name;
    JobState state;
    int64_t last_run;
    Stored stored;
    bool enabled;
    int64_t want_next;
    bool want_new_fp;
  };
  const Row rows[] = {
      {"done", JobState::kDone, 100, kOld, true, kNewOnce, true},
      {"failed", JobState::kFailed, 100, kOld, true, kNewOnce, true},
      {"pending-new", JobState::kPending, 0, kOld, true, kNewOnce, true},
      {"busy-retry", JobState::kPending, 100, kOld, true, kStoredNext, false},
      {"running", JobState::kRunning, 100, kOld, true, kStoredNext, false},
      {"disabled-entry", JobState::kDisabled, 100, kOld, true, kStoredNext, false},
      {"disabled-job", JobState::kDone, 100, kOld, false, kStoredNext, false},
      {"no-fingerprint", JobState::kDone, 100, kZero, true, kStoredNext, true},
      {"unchanged", JobState::kDone, 100, kCurrent, true, kStoredNext, true},
  };
  uint32_t new_fp = 0;
  for (const Row& r : rows) {
    JobConfig& job = add_job(r.name, nullptr, kNewOnce, r.enabled);
    new_fp = job_schedule_fingerprint(job);
    QueueEntry& e = add_entry(r.name, r.state);
    e.last_run = r.last_run;
    e.next_run = kStoredNext;
    e.schedule_fingerprint = r.stored == kZero ? 0 : r.stored == kOld ? old_fp : new_fp;
  }
  ASSERT_NE(old_fp, new_fp);
  EXPECT_EQ(queue_refresh_schedules(q_, *cfg_, kNow), 1);
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row& r = rows[i];
    SCOPED_TRACE(r.name);
    EXPECT_EQ(q_.entries[i].next_run, r.want_next);
    EXPECT_EQ(q_.entries[i].schedule_fingerprint, r.want_new_fp ? new_fp : old_fp);
  }
  EXPECT_EQ(queue_refresh_schedules(q_, *cfg_, kNow), 0);
}

TEST(JobScheduleFingerprint, PinnedValuesAndWhatChangesIt) {
  JobConfig job = {};
  EXPECT_EQ(job_schedule_fingerprint(job), 292984781u);
  job.has_once = 1;
  job.once_time = 1700000000;
  EXPECT_EQ(job_schedule_fingerprint(job), 2621428349u);

  JobConfig hourly = {};
  char err[kCronErrSize];
  ASSERT_EQ(cron_parse("0 * * * *", hourly.schedule, err), 0);
  hourly.has_schedule = 1;
  EXPECT_EQ(job_schedule_fingerprint(hourly), 2757959768u);

  // Same parsed schedule from another text, and other fields edited: unchanged.
  JobConfig same = hourly;
  ASSERT_EQ(cron_parse("0 */1 * * *", same.schedule, err), 0);
  snprintf(same.name, sizeof same.name, "renamed");
  snprintf(same.args_text, sizeof same.args_text, "--full");
  same.enabled = 0;
  EXPECT_EQ(job_schedule_fingerprint(same), job_schedule_fingerprint(hourly));

  JobConfig edited = hourly;
  ASSERT_EQ(cron_parse("5 * * * *", edited.schedule, err), 0);
  EXPECT_NE(job_schedule_fingerprint(edited), job_schedule_fingerprint(hourly));
  JobConfig with_once = hourly;
  with_once.has_once = 1;
  with_once.once_time = 1;
  EXPECT_NE(job_schedule_fingerprint(with_once), job_schedule_fingerprint(hourly));
}

TEST_F(QueueSync, SaveVariantsWriteOnlyWhenChanged) {
  JobConfig& job = add_job("once", nullptr, 1750000000);
  ASSERT_EQ(queue_sync_and_save(q_, *cfg_, kNow), 0);
  QueueState disk;
  ASSERT_EQ(queue_open(disk, path_.c_str()), 0);
  EXPECT_EQ(disk.entries.size(), 1u);
  queue_free(disk);

  ASSERT_EQ(unlink(path_.c_str()), 0);
  EXPECT_EQ(queue_sync_and_save(q_, *cfg_, kNow), 0);
  EXPECT_EQ(queue_refresh_and_save(q_, *cfg_, kNow), 0);
  EXPECT_FALSE(exists());

  q_.entries[0].state = JobState::kDone;
  job.once_time = 1800000000;
  // Displays re-arm in memory only.
  QueueState view;
  view.entries = q_.entries;
  snprintf(view.path, sizeof view.path, "%s", path_.c_str());
  ASSERT_EQ(queue_view_sync(view, *cfg_, kNow), 0);
  EXPECT_EQ(view.entries[0].next_run, 1800000000);
  EXPECT_FALSE(exists());

  ASSERT_EQ(queue_refresh_and_save(q_, *cfg_, kNow), 0);
  ASSERT_EQ(queue_open(disk, path_.c_str()), 0);
  ASSERT_EQ(disk.entries.size(), 1u);
  EXPECT_EQ(disk.entries[0].next_run, 1800000000);
  queue_free(disk);
}

// The daemon's bookkeeping after a scheduled run, by kind of job and result. Times are UTC
// (fixture): 2026-03-10 12:00:30 is a Tuesday.
TEST_F(QueueSync, ScheduleAfterRun) {
  constexpr int64_t kRunEnd = 1773144030;  // 2026-03-10 12:00:30
  constexpr int64_t kNextMinute = 1773144060;
  JobConfig& every = add_job("every", "* * * * *");
  JobConfig& never_again = add_job("feb31", "0 0 31 2 *");
  JobConfig& once = add_job("once", nullptr, 100);
  JobConfig& after = add_job("after", nullptr);
  snprintf(after.after[0], sizeof after.after[0], "every");
  after.after_count = 1;
  JobConfig& both = add_job("both", "* * * * *");
  snprintf(both.after[0], sizeof both.after[0], "every");
  both.after_count = 1;
  struct Case {
    const JobConfig* job;
    bool busy;
    int64_t want_next;
    bool want_fingerprint;  // set to the job's; else left at 5
    int64_t want_mark;
  } cases[] = {
      {&every, false, kNextMinute, true, 0},
      {&never_again, false, kQueueNever, true, 0},
      {&once, false, kQueueNever, true, 0},
      {&after, false, 42, true, 900},  // an 'after'-only job keeps its next run
      {&both, false, kNextMinute, true, 900},
      {&every, true, kRunEnd + 30, false, 0},  // busy: only the retry time
      {&both, true, kRunEnd + 30, false, 0},   // busy keeps the trigger for the next try
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.job->name) + (c.busy ? " busy" : ""));
    QueueEntry e = queue_entry_make(c.job->name);
    e.next_run = 42;
    e.schedule_fingerprint = 5;
    e.dependency_mark = 0;
    queue_entry_schedule_after_run(e, *c.job, c.busy, kRunEnd, 30, 900);
    EXPECT_EQ(e.next_run, c.want_next);
    EXPECT_EQ(e.schedule_fingerprint, c.want_fingerprint ? job_schedule_fingerprint(*c.job) : 5u);
    EXPECT_EQ(e.dependency_mark, c.want_mark);
  }
}

// The entry changes of one run, from start to end, as the runner makes them.
TEST(QueueEntryRun, MarkRunningThenRecordEnd) {
  QueueEntry e = queue_entry_make("j");
  queue_entry_mark_running(e, 100, 4242);
  EXPECT_EQ(e.state, JobState::kRunning);
  EXPECT_EQ(e.last_run, 100);
  EXPECT_EQ(queue_entry_pid(e), 4242u);
  queue_entry_record_end(e, JobState::kPending, 75, 100, 160);
  EXPECT_EQ(e.state, JobState::kPending);
  EXPECT_EQ(e.exit_code, 75);
  EXPECT_EQ(e.last_run, 100);
  EXPECT_EQ(e.last_finish, 160);
  EXPECT_EQ(queue_entry_pid(e), 0u);
  queue_entry_record_unbuildable(e, 200);
  EXPECT_EQ(e.state, JobState::kFailed);
  EXPECT_EQ(e.exit_code, -1);
  EXPECT_EQ(e.last_run, 200);
  EXPECT_EQ(e.last_finish, 200);
}

}  // namespace
}  // namespace vrk
