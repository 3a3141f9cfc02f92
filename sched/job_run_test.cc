#include "sched/job_run.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/fd.h"
#include "sched/config.h"
#include "sched/cron.h"
#include "sched/queue.h"
#include "sched/queue_sync.h"

namespace vrk {
namespace {

std::string read_file(const std::string& path) {
  std::string out;
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) {
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
    out.append(buf, n);
  }
  fclose(f);
  return out;
}

void write_file(const std::string& path, const std::string& text, mode_t mode = 0644) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
  chmod(path.c_str(), mode);
}

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* de = readdir(d)) {
      if (strcmp(de->d_name, ".") != 0 && strcmp(de->d_name, "..") != 0) {
        names.push_back(de->d_name);
      }
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string utc_stamp(int64_t t) {
  time_t tt = static_cast<time_t>(t);
  struct tm tm = {};
  gmtime_r(&tt, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%Y%m%dT%H%M%SZ", &tm);
  return buf;
}

// A temporary directory with a bin/ holding a "vrk_verifier" that runs its first argument as a
// shell command, first on PATH; a queue file; and the job log root.
class JobRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vrk-jobrun-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    bin_ = dir_ + "/bin";
    logs_ = dir_ + "/logs";
    ASSERT_EQ(mkdir(bin_.c_str(), 0755), 0);
    write_file(bin_ + "/vrk_verifier", "#!/bin/sh\nexec /bin/sh -c \"$1\"\n", 0755);
    const char* old = getenv("PATH");
    old_path_ = old ? old : "";
    setenv("PATH", (bin_ + ":/usr/bin:/bin").c_str(), 1);
    queue_path_ = dir_ + "/queue.state";
    ASSERT_EQ(queue_open(queue_, queue_path_.c_str()), 0);
    lock_.take(queue_path_.c_str());
    ASSERT_TRUE(lock_.held());
    config_job_reset(job_);
    snprintf(job_.name, sizeof job_.name, "nightly");
    job_.command = CommandKind::kVerify;
  }

  void TearDown() override {
    lock_.release();
    queue_free(queue_);
    setenv("PATH", old_path_.c_str(), 1);
    nftw(
        dir_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); },
        16, FTW_DEPTH | FTW_PHYS);
  }

  // The job runs script as its only args token.
  void set_script(const char* script) {
    snprintf(script_, sizeof script_, "%s", script);
    job_.args_tokens[0] = script_;
    job_.args_token_count = 1;
  }

  uint32_t run(uint32_t keep = 0, uint32_t timeout = 0, const JobRunSettings& hooks = {}) {
    JobRunSettings s = hooks;
    s.timeout = timeout;
    s.log_dir = logs_.c_str();
    s.keep = keep;
    return job_run(job_, s, queue_, lock_, result_);
  }

  // Whether some descriptor holds the queue lock (a second open file cannot take it).
  bool queue_locked() const {
    UniqueFd fd(open((queue_path_ + ".lock").c_str(), O_RDWR | O_CLOEXEC));
    return fd.valid() && flock(fd.get(), LOCK_EX | LOCK_NB) != 0;
  }

  std::string dir_, bin_, logs_, queue_path_, old_path_;
  QueueState queue_;
  QueueLock lock_;
  JobConfig job_;
  char script_[1024] = {};
  RunResult result_;
};

TEST_F(JobRunTest, WritesHeaderOutputAndFooter) {
  set_script("echo hello");
  EXPECT_EQ(run(), kRunDone);
  EXPECT_EQ(result_.result, kRunDone);
  EXPECT_EQ(result_.exit_code, 0);
  EXPECT_EQ(result_.timed_out, 0u);
  EXPECT_STREQ(result_.command, "vrk_verifier echo hello");
  EXPECT_LE(result_.start, result_.finish);
  std::string want_path = logs_ + "/nightly/" + utc_stamp(result_.start) + ".log";
  EXPECT_EQ(result_.job_log, want_path);
  std::string want =
      "job: nightly\nargv: vrk_verifier echo hello\nstart_unix: " + std::to_string(result_.start) +
      "\n\n--- output ---\nhello\n\n--- end ---\nfinish_unix: " + std::to_string(result_.finish) +
      "\nexit_code: 0\ntimed_out: 0\n";
  EXPECT_EQ(read_file(want_path), want);
  struct stat st = {};
  ASSERT_EQ(stat(want_path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  // The entry holds the end state in memory; the lock is held again.
  const QueueEntry* e = queue_find(queue_, "nightly");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->state, JobState::kDone);
  EXPECT_EQ(queue_entry_pid(*e), 0u);
  EXPECT_EQ(e->exit_code, 0);
  EXPECT_EQ(e->last_run, result_.start);
  EXPECT_EQ(e->last_finish, result_.finish);
  EXPECT_TRUE(queue_locked());

  // A second run in the same second appends to the same file with its own header and footer.
  RunResult first = result_;
  EXPECT_EQ(run(), kRunDone);
  if (strcmp(first.job_log, result_.job_log) == 0) {
    std::string text = read_file(result_.job_log);
    EXPECT_EQ(text.rfind(want, 0), 0u);
    EXPECT_NE(text.find("job: nightly", want.size()), std::string::npos);
  }
}

TEST_F(JobRunTest, ResultFollowsExitStatus) {
  struct Case {
    const char* script;
    uint32_t want_result;
    int32_t want_exit;
    JobState want_state;
  } cases[] = {
      {"exit 0", kRunDone, 0, JobState::kDone},
      {"exit 75", kRunBusy, 75, JobState::kPending},
      {"exit 3", kRunFailed, 3, JobState::kFailed},
      {"kill -KILL $$", kRunFailed, -1, JobState::kFailed},  // ended by a signal
      {"exec /nonexistent/program", kRunFailed, 127, JobState::kFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    set_script(c.script);
    EXPECT_EQ(run(), c.want_result);
    EXPECT_EQ(result_.exit_code, c.want_exit);
    const QueueEntry* e = queue_find(queue_, "nightly");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->state, c.want_state);
    EXPECT_EQ(e->exit_code, c.want_exit);
    std::string footer = "\nexit_code: " + std::to_string(c.want_exit) + "\ntimed_out: 0\n";
    std::string text = read_file(result_.job_log);
    EXPECT_EQ(text.substr(text.size() - footer.size()), footer);
  }
}

TEST_F(JobRunTest, ProgramNotOnPathFails) {
  job_.command = CommandKind::kXenv;  // no vrk_xenV in bin/
  EXPECT_EQ(run(), kRunFailed);
  EXPECT_EQ(result_.exit_code, 127);
}

TEST_F(JobRunTest, MarksRunningAndReleasesLockDuringRun) {
  // While the job runs: copy the queue file aside, and prove the lock is free.
  std::string script =
      "cp '" + queue_path_ + "' '" + dir_ + "/snap' && flock -n '" + queue_path_ + ".lock' true";
  set_script(script.c_str());
  EXPECT_EQ(run(), kRunDone);
  QueueState snap;
  ASSERT_EQ(queue_open_readonly(snap, (dir_ + "/snap").c_str()), 0);
  const QueueEntry* e = queue_find(snap, "nightly");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->state, JobState::kRunning);
  EXPECT_EQ(queue_entry_pid(*e), static_cast<uint32_t>(getpid()));
  EXPECT_EQ(e->last_run, result_.start);
  queue_free(snap);
}

TEST_F(JobRunTest, KeepsChangesMadeDuringTheRun) {
  // Another process adds an entry while the lock is free; the end state is written onto it.
  QueueState other;
  std::string other_path = dir_ + "/other.state";
  ASSERT_EQ(queue_open(other, other_path.c_str()), 0);
  QueueEntry mine = queue_entry_make("nightly");
  mine.state = JobState::kRunning;
  QueueEntry theirs = queue_entry_make("weekly");
  theirs.state = JobState::kDone;
  ASSERT_EQ(queue_upsert(other, mine), 0);
  ASSERT_EQ(queue_upsert(other, theirs), 0);
  queue_free(other);
  std::string script = "cp '" + other_path + "' '" + queue_path_ + "'";
  set_script(script.c_str());
  EXPECT_EQ(run(), kRunDone);
  ASSERT_EQ(queue_.entries.size(), 2u);
  const QueueEntry* w = queue_find(queue_, "weekly");
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->state, JobState::kDone);
  EXPECT_EQ(queue_find(queue_, "nightly")->state, JobState::kDone);
}

TEST_F(JobRunTest, PrunesOldestLogs) {
  struct Case {
    uint32_t keep;
    std::vector<std::string> want_old;  // old logs left besides the new one
  } cases[] = {
      {3, {"20200104T000000Z.log", "20200105T000000Z.log"}},
      {1, {}},
      {0,
       {"20200101T000000Z.log", "20200102T000000Z.log", "20200103T000000Z.log",
        "20200104T000000Z.log", "20200105T000000Z.log"}},
  };
  set_script("true");
  std::string jobdir = logs_ + "/nightly";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keep);
    nftw(
        logs_.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
    ASSERT_EQ(mkdir(logs_.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(jobdir.c_str(), 0755), 0);
    for (int d = 1; d <= 5; ++d) {
      write_file(jobdir + "/2020010" + std::to_string(d) + "T000000Z.log", "old\n");
    }
    // Not runs: too short, another suffix, a name too long to be one of ours, and names that
    // end in ".log" and sort before or after the runs.
    const std::string keepers[] = {".log",      "notes.txt", "0" + std::string(70, 'a') + ".log",
                                   "notes.log", "0.log",     "20200101T000000Z.log.log"};
    for (const std::string& k : keepers) {
      write_file(jobdir + "/" + k, "x\n");
    }
    EXPECT_EQ(run(c.keep), kRunDone);
    std::vector<std::string> want(std::begin(keepers), std::end(keepers));
    want.insert(want.end(), c.want_old.begin(), c.want_old.end());
    want.push_back(utc_stamp(result_.start) + ".log");
    std::sort(want.begin(), want.end());
    EXPECT_EQ(list_dir(jobdir), want);
  }
}

TEST(JobLogNameIsRunId, OnlyTheFormTheRunnerWrites) {
  struct Case {
    std::string_view name;
    bool want;
  } cases[] = {
      {"20250101T020000Z.log", true},
      {"99999999T999999Z.log", true},
      {"00000000T000000Z.log", true},
      {"", false},
      {".log", false},
      {"notes.log", false},
      {"2025010T020000Z.log", false},      // 7 date digits
      {"202501011T020000Z.log", false},    // 9 date digits
      {"20250101T02000Z.log", false},      // 5 time digits
      {"20250101T0200000Z.log", false},    // 7 time digits
      {"20250101t020000Z.log", false},     // lower-case t
      {"20250101T020000z.log", false},     // lower-case z
      {"20250101T020000.log", false},      // no zone
      {"20250101 020000Z.log", false},     // blank for T
      {"2025010aT020000Z.log", false},     // letter for a digit
      {"20250101T02000/Z.log", false},     // byte before '0'
      {"20250101T02000:Z.log", false},     // byte after '9'
      {"20250101T020000Z.LOG", false},     // upper-case suffix
      {"20250101T020000Z.log~", false},    // backup copy
      {"20250101T020000Z.txt", false},     // other suffix
      {"20250101T020000Z.log.gz", false},  // compressed copy
      {"x20250101T020000Z.log", false},    // prefix
      {std::string_view("20250101T020000Z.lo\0", 20), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name));
    EXPECT_EQ(job_log_name_is_run_id(c.name), c.want);
  }
}

TEST_F(JobRunTest, CommandTextIsCutButHeaderIsWhole) {
  std::string big(600, 'x');
  std::string script = "true " + big;
  set_script(script.c_str());
  char second[700];
  snprintf(second, sizeof second, "%s", big.c_str());
  job_.args_tokens[1] = second;
  job_.args_token_count = 2;
  EXPECT_EQ(run(), kRunDone);
  std::string full = "vrk_verifier " + script + " " + big;
  EXPECT_EQ(std::string(result_.command), full.substr(0, kRunCommandSize - 1));
  EXPECT_NE(read_file(result_.job_log).find("\nargv: " + full + "\n"), std::string::npos);
}

TEST_F(JobRunTest, BadCommandFailsWithoutLog) {
  job_.command = static_cast<CommandKind>(42);
  EXPECT_EQ(run(), kRunFailed);
  EXPECT_TRUE(queue_locked());  // the lock is not released
  EXPECT_STREQ(result_.command,
               "(cannot build the command line: internal error: unknown command enum 42)");
  EXPECT_STREQ(result_.job_log, "");
  EXPECT_EQ(result_.exit_code, -1);
  EXPECT_EQ(result_.start, result_.finish);
  const QueueEntry* e = queue_find(queue_, "nightly");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->state, JobState::kFailed);
  EXPECT_EQ(e->exit_code, -1);
  EXPECT_EQ(e->last_run, result_.start);
  EXPECT_EQ(e->last_finish, result_.start);
  EXPECT_EQ(e->next_run, kQueueNever);
  struct stat st = {};
  EXPECT_NE(stat(logs_.c_str(), &st), 0);
}

TEST_F(JobRunTest, RunsWithoutLogWhenDirCannotBeMade) {
  write_file(dir_ + "/file", "");
  logs_ = dir_ + "/file";  // a file where the directory should be
  set_script("exit 0");
  EXPECT_EQ(run(), kRunDone);
  EXPECT_STREQ(result_.job_log, "");
}

TEST_F(JobRunTest, DotNamesNeitherLogNorPruneOutsideTheirDirectory) {
  ASSERT_EQ(mkdir(logs_.c_str(), 0755), 0);
  write_file(dir_ + "/other.log", "x\n");
  write_file(logs_ + "/other.log", "x\n");
  set_script("exit 0");
  for (const char* name : {".", ".."}) {
    SCOPED_TRACE(name);
    snprintf(job_.name, sizeof job_.name, "%s", name);
    EXPECT_EQ(run(1), kRunDone);
    EXPECT_STREQ(result_.job_log, "");
  }
  EXPECT_EQ(read_file(dir_ + "/other.log"), "x\n");
  EXPECT_EQ(read_file(logs_ + "/other.log"), "x\n");
}

TEST_F(JobRunTest, TimesOutAfterOneSecondLimit) {
  set_script("exec sleep 10");
  EXPECT_EQ(run(0, 1), kRunFailed);
  EXPECT_EQ(result_.timed_out, 1u);
  EXPECT_EQ(result_.exit_code, -1);
  std::string text = read_file(result_.job_log);
  EXPECT_NE(text.find("\n--- end ---\n"), std::string::npos);
  std::string tail = "\nexit_code: -1\ntimed_out: 1\n";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  EXPECT_EQ(text.find("cancelled"), std::string::npos);
}

// The caller's hooks as the daemon and the run commands use them: a cancel flag set from a signal
// handler (the job signals the test process), who asked, and the start notice.
struct TestHooks {
  volatile sig_atomic_t cancel = 0;
  const char* by = "";
  int started = 0;
  int idle_calls = 0;
};
TestHooks* g_hooks = nullptr;

void on_usr1(int) {
  g_hooks->cancel = 1;
}

bool test_cancel(void* p, char (&by)[kJobLogCancelledBySize]) {
  auto* h = static_cast<TestHooks*>(p);
  if (h->cancel == 0) {
    return false;
  }
  snprintf(by, sizeof by, "%s", h->by);
  return true;
}

void test_started(void* p) {
  ++static_cast<TestHooks*>(p)->started;
}

void test_idle(void* p) {
  ++static_cast<TestHooks*>(p)->idle_calls;
}

JobRunSettings with_hooks(TestHooks& h) {
  JobRunSettings s;
  s.hook_context = &h;
  s.cancel = test_cancel;
  s.started = test_started;
  s.idle = test_idle;
  return s;
}

TEST_F(JobRunTest, CancelHookStopsTheRun) {
  struct Case {
    const char* by;
    const char* want_by;
  } cases[] = {
      {"API token ops", "API token ops"},
      {"signal SIGINT", "signal SIGINT"},
      {"", "?"},
  };
  static TestHooks hooks;
  g_hooks = &hooks;
  struct sigaction sa = {}, old = {};
  sa.sa_handler = on_usr1;
  sigaction(SIGUSR1, &sa, &old);
  set_script("kill -USR1 $PPID; exec sleep 10");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.by);
    hooks.cancel = 0;
    hooks.by = c.by;
    hooks.started = 0;
    EXPECT_EQ(run(0, 0, with_hooks(hooks)), kRunFailed);
    EXPECT_EQ(hooks.started, 1);
    EXPECT_GT(hooks.idle_calls, 0);
    EXPECT_EQ(result_.timed_out, 0u);
    EXPECT_EQ(result_.exit_code, -1);
    std::string tail =
        "\nexit_code: -1\ntimed_out: 0\ncancelled: 1\ncancelled_by: " + std::string(c.want_by) +
        "\n";
    std::string text = read_file(result_.job_log);
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_EQ(queue_find(queue_, "nightly")->state, JobState::kFailed);
  }
  sigaction(SIGUSR1, &old, nullptr);
}

TEST_F(JobRunTest, HooksThatNeverCancelLeaveTheRunAlone) {
  TestHooks hooks;
  set_script("sleep 0.3");
  EXPECT_EQ(run(0, 0, with_hooks(hooks)), kRunDone);
  EXPECT_EQ(hooks.started, 1);
  EXPECT_EQ(read_file(result_.job_log).find("cancelled"), std::string::npos);
}

}  // namespace
}  // namespace vrk

namespace vrk {
namespace {

// A job run by hand before any daemon saw it gets an entry armed like a new job's, so its
// schedule still applies afterwards.
TEST_F(JobRunTest, MissingEntryIsArmedLikeANewJob) {
  set_script("exit 0");
  char err[kCronErrSize];
  ASSERT_EQ(cron_parse("30 3 * * 0", job_.schedule, err), 0);
  job_.has_schedule = 1;
  ASSERT_EQ(queue_find(queue_, "nightly"), nullptr);
  int64_t before = static_cast<int64_t>(time(nullptr));
  EXPECT_EQ(run(), kRunDone);
  const QueueEntry* e = queue_find(queue_, "nightly");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->state, JobState::kDone);
  EXPECT_EQ(e->schedule_fingerprint, job_schedule_fingerprint(job_));
  EXPECT_NE(e->next_run, kQueueNever);
  EXPECT_EQ(e->next_run, queue_first_run_time(job_, before));
}

}  // namespace
}  // namespace vrk

namespace vrk {
namespace {

// The program starts only once its RUNNING mark is saved. A queue that cannot be written (here
// a directory where the temporary file goes), or a cancel that came first, leaves the job
// unstarted: no program, no log, the entry as it was, the lock still held.
TEST_F(JobRunTest, NotStartedWithoutASavedMark) {
  const std::string marker = dir_ + "/ran";
  set_script(("touch " + marker).c_str());
  QueueEntry e = queue_entry_make("nightly");
  e.state = JobState::kDone;
  e.last_run = 7;
  ASSERT_EQ(queue_upsert(queue_, e), 0);
  struct Case {
    const char* name;
    bool block_save;
    sig_atomic_t cancel;
    const char* want_why;
  } cases[] = {
      {"queue not writable", true, 0, "cannot save the queue "},
      {"cancel first", false, 1, "cancelled before it started (signal SIGTERM)"},
  };
  const std::string tmp = queue_path_ + ".tmp";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.block_save) {
      ASSERT_EQ(mkdir(tmp.c_str(), 0755), 0);
    }
    TestHooks hooks;
    hooks.cancel = c.cancel;
    hooks.by = "signal SIGTERM";
    EXPECT_EQ(run(0, 0, with_hooks(hooks)), kRunNotStarted);
    EXPECT_EQ(result_.result, kRunNotStarted);
    EXPECT_EQ(std::string(result_.not_started_why).rfind(c.want_why, 0), 0u)
        << result_.not_started_why;
    EXPECT_EQ(hooks.started, 0);
    EXPECT_TRUE(queue_locked());
    EXPECT_EQ(access(marker.c_str(), F_OK), -1);
    EXPECT_EQ(list_dir(logs_), std::vector<std::string>{});
    const QueueEntry* now = queue_find(queue_, "nightly");
    ASSERT_NE(now, nullptr);
    EXPECT_EQ(now->state, JobState::kDone);
    EXPECT_EQ(now->last_run, 7);
    QueueState on_disk;
    ASSERT_EQ(queue_open_readonly(on_disk, queue_path_.c_str()), 0);
    EXPECT_EQ(queue_find(on_disk, "nightly")->state, JobState::kDone);
    queue_free(on_disk);
    if (c.block_save) {
      rmdir(tmp.c_str());
    }
  }
  TestHooks hooks;
  EXPECT_EQ(run(0, 0, with_hooks(hooks)), kRunDone);
  EXPECT_EQ(hooks.started, 1);
  EXPECT_EQ(access(marker.c_str(), F_OK), 0);
}

}  // namespace
}  // namespace vrk
