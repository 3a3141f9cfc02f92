#include "sched/queue.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/error.h"
#include "common/fd.h"
#include "common/test_stderr.h"
#include "common/text.h"
#include "sched/config.h"
#include "sched/queue_sync.h"

namespace vrk {
namespace {

// The entry of GoldenBytes, field by field.
QueueEntry golden_entry() {
  QueueEntry e;
  snprintf(e.name, sizeof e.name, "nightly");
  e.state = JobState::kDone;
  queue_entry_set_pid(e, 0x123456);
  e.schedule_fingerprint = 0xDEADBEEF;
  e.next_run = kQueueNever;
  e.last_run = 0x0102030405060708;
  e.last_finish = 1700000000;
  e.exit_code = -1;
  e.dependency_mark = 0x1122334455667788;
  return e;
}

std::vector<uint8_t> golden_bytes() {
  std::vector<uint8_t> b(kQueueEntryBytes, 0);
  memcpy(b.data(), "nightly", 7);
  const uint8_t tail[] = {
      0x02,                                            // 128 state DONE
      0x56, 0x34, 0x12,                                // 129 pid 0x123456
      0xEF, 0xBE, 0xAD, 0xDE,                          // 132 fingerprint
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F,  // 136 next run: never
      0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // 144 last run
      0x00, 0xF1, 0x53, 0x65, 0x00, 0x00, 0x00, 0x00,  // 152 last finish 1700000000
      0xFF, 0xFF, 0xFF, 0xFF,                          // 160 exit code -1
      0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,  // 164 dependency mark
  };
  static_assert(128 + sizeof tail == kQueueEntryBytes);
  memcpy(b.data() + 128, tail, sizeof tail);
  return b;
}

std::vector<uint8_t> encode(const QueueEntry& e) {
  std::vector<uint8_t> b(kQueueEntryBytes);
  queue_entry_encode(e, std::span<uint8_t, kQueueEntryBytes>(b.data(), kQueueEntryBytes));
  return b;
}

QueueEntry decode(const std::vector<uint8_t>& b) {
  QueueEntry e;
  queue_entry_decode(std::span<const uint8_t, kQueueEntryBytes>(b.data(), kQueueEntryBytes), e);
  return e;
}

void expect_same(const QueueEntry& a, const QueueEntry& b) {
  EXPECT_STREQ(a.name, b.name);
  EXPECT_EQ(a.state, b.state);
  EXPECT_EQ(queue_entry_pid(a), queue_entry_pid(b));
  EXPECT_EQ(a.schedule_fingerprint, b.schedule_fingerprint);
  EXPECT_EQ(a.next_run, b.next_run);
  EXPECT_EQ(a.last_run, b.last_run);
  EXPECT_EQ(a.last_finish, b.last_finish);
  EXPECT_EQ(a.exit_code, b.exit_code);
  EXPECT_EQ(a.dependency_mark, b.dependency_mark);
}

TEST(QueueEntry, GoldenBytes) {
  EXPECT_EQ(encode(golden_entry()), golden_bytes());
  expect_same(decode(golden_bytes()), golden_entry());
}

TEST(QueueEntry, PidIsTwentyFourBits) {
  struct Case {
    int64_t pid;
    uint32_t want;
  };
  const Case cases[] = {{0, 0}, {1, 1}, {16777215, 16777215}, {16777216, 0}, {-5, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pid);
    QueueEntry e;
    queue_entry_set_pid(e, c.pid);
    EXPECT_EQ(queue_entry_pid(e), c.want);
    EXPECT_EQ(queue_entry_pid(decode(encode(e))), c.want);
  }
  // A stray wide value in the record never wraps into another pid on disk.
  QueueEntry e;
  e.runner_pid = 0x1000005;
  EXPECT_EQ(queue_entry_pid(decode(encode(e))), 0u);
}

TEST(QueueEntry, DecodeCutsUnterminatedNameAndKeepsUnknownState) {
  std::vector<uint8_t> b(kQueueEntryBytes, 'x');
  b[128] = 9;
  QueueEntry e = decode(b);
  EXPECT_EQ(strlen(e.name), 127u);
  EXPECT_STREQ(queue_state_name(e.state), "?");
  // Written back, the name is terminated at byte 127.
  EXPECT_EQ(encode(e)[127], 0);
}

TEST(QueueEntry, StateNames) {
  const char* want[] = {"PENDING", "RUNNING", "DONE", "FAILED", "DISABLED"};
  for (int i = 0; i < 5; ++i) {
    EXPECT_STREQ(queue_state_name(static_cast<JobState>(i)), want[i]);
  }
}

// The index gives queue_find's answer for every name: the first of duplicates, nothing for a
// missing name or a prefix, entries appended after the build once added.
TEST(QueueIndex, GivesTheAnswersOfQueueFind) {
  QueueState q;
  for (const char* name : {"alpha", "beta", "alpha", "gamma"}) {
    QueueEntry e;
    text_copy_cut(e.name, name);
    ASSERT_EQ(queue_append(q, e), 0);
  }
  for (int i = 0; i < 300; ++i) {  // past the first table sizes
    QueueEntry e;
    text_copy_cut(e.name, "job-" + std::to_string(i));
    ASSERT_EQ(queue_append(q, e), 0);
  }
  QueueIndex index;
  ASSERT_EQ(queue_index_build(q, 1, index), 0);
  QueueEntry late;
  text_copy_cut(late.name, "late");
  ASSERT_EQ(queue_append(q, late), 0);
  queue_index_add(q, index, q.entries.size() - 1);
  const char* names[] = {"alpha", "beta",    "gamma", "job-0",  "job-299", "late",
                         "",      "job-300", "alph",  "alphaa", "Alpha"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    const QueueEntry* want = queue_find(q, name);
    const int64_t at = queue_index_find(q, index, name);
    EXPECT_EQ(at < 0 ? nullptr : &q.entries[static_cast<size_t>(at)], want);
  }
  EXPECT_EQ(queue_index_find(q, index, "alpha"), 0);
  EXPECT_EQ(queue_index_find(q, QueueIndex{}, "alpha"), -1);
}

// Counts the lines of log that end with message.
int count_lines(const std::string& log, const std::string& message) {
  int n = 0;
  size_t at = 0;
  while ((at = log.find(message + "\n", at)) != std::string::npos) {
    ++n;
    at += message.size();
  }
  return n;
}

class QueueFile : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = getenv("TMPDIR");
    std::string tmpl =
        std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/vrk_queue_XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    ASSERT_NE(mkdtemp(buf.data()), nullptr);
    dir_ = buf.data();
    path_ = dir_ + "/state/queue.state";
    cfg_ = std::make_unique<SchedConfig>();
    config_reset(*cfg_);
  }
  void TearDown() override {
    queue_free(q_);
    config_free(*cfg_);
    nftw(
        dir_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); },
        16, FTW_DEPTH | FTW_PHYS);
  }

  void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    mkdir((dir_ + "/state").c_str(), 0755);
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (!bytes.empty()) {
      fwrite(bytes.data(), 1, bytes.size(), f);
    }
    fclose(f);
  }
  std::vector<uint8_t> read_file(const std::string& path) {
    std::vector<uint8_t> out;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
      return out;
    }
    int c;
    while ((c = fgetc(f)) != EOF) {
      out.push_back(static_cast<uint8_t>(c));
    }
    fclose(f);
    return out;
  }
  bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
  }

  std::string dir_;
  std::string path_;
  QueueState q_;
  std::unique_ptr<SchedConfig> cfg_;
};

TEST_F(QueueFile, OpenUsesWholeEntriesOnly) {
  struct Case {
    size_t size;
    size_t want_entries;
  };
  const Case cases[] = {{0, 0}, {100, 0}, {171, 0}, {172, 1}, {343, 1}, {344, 2}, {350, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 3; ++i) {
      QueueEntry e = golden_entry();
      snprintf(e.name, sizeof e.name, "job%d", i);
      std::vector<uint8_t> one = encode(e);
      bytes.insert(bytes.end(), one.begin(), one.end());
    }
    bytes.resize(c.size);
    write_file(path_, bytes);
    ASSERT_EQ(queue_open(q_, path_.c_str()), 0);
    ASSERT_EQ(q_.entries.size(), c.want_entries);
    EXPECT_EQ(q_.entries.capacity(), c.want_entries);
    for (size_t i = 0; i < c.want_entries; ++i) {
      EXPECT_EQ(q_.entries[i].name, "job" + std::to_string(i));
      EXPECT_EQ(q_.entries[i].last_finish, 1700000000);
    }
    EXPECT_STREQ(q_.path, path_.c_str());
  }
}

TEST_F(QueueFile, OpenCreatesMissingFileAndDirectory) {
  ASSERT_EQ(queue_open(q_, path_.c_str()), 0);
  EXPECT_TRUE(q_.entries.empty());
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_FALSE(exists(path_ + ".tmp"));
}

TEST_F(QueueFile, ReadOnlyOpenNeverCreates) {
  JobConfig& job = cfg_->jobs[cfg_->job_count++];
  config_job_reset(job);
  snprintf(job.name, sizeof job.name, "a");
  ASSERT_EQ(queue_open_readonly(q_, path_.c_str()), 0);
  EXPECT_TRUE(q_.entries.empty());
  StderrCapture cap;
  ASSERT_EQ(queue_view_sync(q_, *cfg_, 1700000000), 0);
  EXPECT_EQ(cap.text(), "");
  ASSERT_EQ(q_.entries.size(), 1u);
  EXPECT_EQ(q_.entries[0].state, JobState::kPending);
  EXPECT_FALSE(exists(path_));
  EXPECT_FALSE(exists(dir_ + "/state"));
}

TEST_F(QueueFile, RefusesBadPathsAndFiles) {
  EXPECT_EQ(queue_open(q_, ""), kErrInvalid);
  std::string long_path = dir_ + "/" + std::string(kQueuePathSize, 'x');
  EXPECT_EQ(queue_open(q_, long_path.c_str()), kErrInvalid);
  // A directory in the file's place.
  ASSERT_EQ(mkdir(path_.substr(0, path_.rfind('/')).c_str(), 0755), 0);
  ASSERT_EQ(mkdir(path_.c_str(), 0755), 0);
  EXPECT_LT(queue_open(q_, path_.c_str()), 0);
  rmdir(path_.c_str());
  // A size only damage can produce (sparse, so it costs no disk).
  write_file(path_, {});
  ASSERT_EQ(truncate(path_.c_str(), (kQueueMaxEntries + 1) * kQueueEntryBytes), 0);
  EXPECT_EQ(queue_open(q_, path_.c_str()), kErrCorrupt);
  EXPECT_TRUE(q_.entries.empty());
  // A FIFO must not block the reader.
  unlink(path_.c_str());
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  EXPECT_EQ(queue_open(q_, path_.c_str()), kErrInvalid);
}

TEST_F(QueueFile, SaveAndReloadRoundTrip) {
  ASSERT_EQ(queue_open(q_, path_.c_str()), 0);
  std::vector<QueueEntry> want;
  for (int i = 0; i < 20; ++i) {  // past the first capacity of 16
    QueueEntry e = golden_entry();
    snprintf(e.name, sizeof e.name, "job-%02d", i);
    e.last_run = i;
    e.exit_code = i - 3;
    want.push_back(e);
    ASSERT_EQ(queue_append(q_, e), 0);
  }
  EXPECT_EQ(q_.entries.capacity(), 32u);
  ASSERT_EQ(queue_save(q_), 0);
  EXPECT_EQ(read_file(path_).size(), 20 * kQueueEntryBytes);
  EXPECT_FALSE(exists(path_ + ".tmp"));
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777 & ~0644, 0u);

  QueueState other;
  ASSERT_EQ(queue_open(other, path_.c_str()), 0);
  ASSERT_EQ(other.entries.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE(i);
    expect_same(other.entries[i], want[i]);
  }
  // Another process's change shows up on reload.
  other.entries[3].state = JobState::kFailed;
  ASSERT_EQ(queue_save(other), 0);
  ASSERT_EQ(queue_reload(q_), 0);
  EXPECT_EQ(q_.entries[3].state, JobState::kFailed);
  queue_free(other);
  queue_free(other);
  EXPECT_TRUE(other.entries.empty());
}

TEST_F(QueueFile, FailedReloadKeepsInMemoryCopy) {
  ASSERT_EQ(queue_open(q_, path_.c_str()), 0);
  ASSERT_EQ(queue_upsert(q_, queue_entry_make("a")), 0);
  // Deleted while in use.
  ASSERT_EQ(unlink(path_.c_str()), 0);
  {
    StderrCapture cap;
    EXPECT_EQ(queue_reload_or_keep(q_), kErrNotFound);
    EXPECT_EQ(count_lines(cap.text(), "ERROR vrk_sched: cannot re-read the queue " + path_ +
                                          " -- using the in-memory copy"),
              1);
  }
  ASSERT_EQ(q_.entries.size(), 1u);
  // The next save puts it back.
  ASSERT_EQ(queue_save(q_), 0);
  EXPECT_EQ(read_file(path_).size(), kQueueEntryBytes);
  // Cut short while in use: the whole entries that remain are read.
  ASSERT_EQ(truncate(path_.c_str(), 100), 0);
  ASSERT_EQ(queue_reload(q_), 0);
  EXPECT_TRUE(q_.entries.empty());
}

TEST_F(QueueFile, FailedSaveKeepsOldFileAndLogs) {
  ASSERT_EQ(queue_open(q_, path_.c_str()), 0);
  ASSERT_EQ(queue_upsert(q_, queue_entry_make("a")), 0);
  const std::vector<uint8_t> before = read_file(path_);
  // Under the lock the save goes through "<path>.tmp", which cannot be made here.
  int lock = queue_lock(path_.c_str());
  ASSERT_GE(lock, 0);
  ASSERT_EQ(mkdir((path_ + ".tmp").c_str(), 0755), 0);
  ASSERT_EQ(queue_append(q_, queue_entry_make("b")), 0);
  StderrCapture cap;
  EXPECT_LT(queue_save(q_), 0);
  queue_unlock(lock);
  EXPECT_EQ(count_lines(cap.text(), "ERROR vrk_sched: cannot save the queue " + path_ +
                                        ": open: Is a directory"),
            1);
  EXPECT_EQ(read_file(path_), before);
  EXPECT_EQ(q_.entries.size(), 2u);
}

// The names in the queue file's directory other than the queue file and its lock file.
std::vector<std::string> leftovers(const std::string& dir) {
  std::vector<std::string> out;
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
  if (!d) {
    return out;
  }
  while (struct dirent* de = readdir(d.get())) {
    std::string n = de->d_name;
    if (n != "." && n != ".." && n != "queue.state" && n != "queue.state.lock") {
      out.push_back(n);
    }
  }
  return out;
}

TEST_F(QueueFile, SaveWithoutTheLockUsesATemporaryNameOfItsOwn) {
  ASSERT_EQ(queue_open(q_, path_.c_str()), 0);
  ASSERT_EQ(queue_append(q_, queue_entry_make("a")), 0);
  // A "<path>.tmp" that cannot be written is not used by a save without the lock.
  ASSERT_EQ(mkdir((path_ + ".tmp").c_str(), 0755), 0);
  ASSERT_EQ(queue_save(q_), 0);
  EXPECT_EQ(read_file(path_).size(), kQueueEntryBytes);
  // The same mode as a save under the lock gives.
  const mode_t mask = umask(0);
  umask(mask);
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644 & ~mask);
  EXPECT_EQ(leftovers(dir_ + "/state"), std::vector<std::string>{"queue.state.tmp"});
  // A failed save removes its own temporary file.
  ASSERT_EQ(unlink(path_.c_str()), 0);
  ASSERT_EQ(mkdir(path_.c_str(), 0755), 0);
  StderrCapture cap;
  EXPECT_LT(queue_save(q_), 0);
  EXPECT_EQ(count_lines(cap.text(), "ERROR vrk_sched: cannot save the queue " + path_ +
                                        ": rename: Is a directory"),
            1);
  EXPECT_EQ(leftovers(dir_ + "/state"), std::vector<std::string>{"queue.state.tmp"});
}

// Runs count forked processes that start together and each call body(i); true when every one
// exited 0.
template <typename F>
bool run_together(int count, F body) {
  int gate[2];
  if (pipe2(gate, O_CLOEXEC) != 0) {
    return false;
  }
  fflush(nullptr);
  std::vector<pid_t> pids;
  for (int i = 0; i < count; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      close(gate[1]);
      char c;
      (void)!read(gate[0], &c, 1);  // returns once the parent closes the gate
      _exit(body(i) ? 0 : 1);
    }
    pids.push_back(pid);
  }
  close(gate[0]);
  close(gate[1]);
  bool all = true;
  for (pid_t pid : pids) {
    int ws = 0;
    all = waitpid(pid, &ws, 0) == pid && WIFEXITED(ws) && WEXITSTATUS(ws) == 0 && all;
  }
  return all;
}

// Rounds of processes that find no queue file (nor its directory) and all open it at once:
// every open works, and the entries they then add under the lock are all kept.
TEST_F(QueueFile, SimultaneousFirstOpensAllWork) {
  constexpr int kRounds = 10;
  constexpr int kProcesses = 8;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    nftw((dir_ + "/state").c_str(),
         [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
         FTW_DEPTH | FTW_PHYS);
    const bool all = run_together(kProcesses, [&](int i) {
      QueueState q;
      if (queue_open(q, path_.c_str()) != 0) {
        return false;
      }
      int lock = queue_lock(path_.c_str());
      bool ok = lock >= 0 && queue_reload(q) == 0 &&
                queue_upsert(q, queue_entry_make("job" + std::to_string(i))) == 0;
      queue_unlock(lock);
      queue_free(q);
      return ok;
    });
    ASSERT_TRUE(all);
    QueueState disk;
    ASSERT_EQ(queue_open(disk, path_.c_str()), 0);
    ASSERT_EQ(disk.entries.size(), static_cast<size_t>(kProcesses));
    queue_free(disk);
    EXPECT_EQ(leftovers(dir_ + "/state"), std::vector<std::string>{});
  }
}

// Processes that save without the lock only race over which whole file stays; none fails.
TEST_F(QueueFile, SimultaneousSavesWithoutTheLockAllWork) {
  ASSERT_EQ(queue_open(q_, path_.c_str()), 0);
  const bool all = run_together(8, [&](int i) {
    QueueState q;
    snprintf(q.path, sizeof q.path, "%s", path_.c_str());
    for (int n = 0; n <= i; ++n) {
      if (queue_append(q, queue_entry_make("job" + std::to_string(n))) != 0) {
        return false;
      }
    }
    for (int k = 0; k < 20; ++k) {
      if (queue_save(q) != 0) {
        return false;
      }
    }
    return true;
  });
  EXPECT_TRUE(all);
  const size_t size = read_file(path_).size();
  EXPECT_EQ(size % kQueueEntryBytes, 0u);
  EXPECT_GE(size, kQueueEntryBytes);
  EXPECT_EQ(leftovers(dir_ + "/state"), std::vector<std::string>{});
}

TEST_F(QueueFile, UpsertReplacesEveryFieldOrAppends) {
  ASSERT_EQ(queue_open(q_, path_.c_str()), 0);
  QueueEntry a = queue_entry_make("a");
  queue_entry_set_pid(a, 4242);
  a.state = JobState::kRunning;
  ASSERT_EQ(queue_upsert(q_, a), 0);
  ASSERT_EQ(queue_upsert(q_, queue_entry_make("b")), 0);
  QueueEntry a2 = golden_entry();
  snprintf(a2.name, sizeof a2.name, "a");
  ASSERT_EQ(queue_upsert(q_, a2), 0);

  QueueState disk;
  ASSERT_EQ(queue_open(disk, path_.c_str()), 0);
  ASSERT_EQ(disk.entries.size(), 2u);
  expect_same(disk.entries[0], a2);
  EXPECT_EQ(queue_entry_pid(disk.entries[0]), 0x123456u);
  EXPECT_STREQ(disk.entries[1].name, "b");
  EXPECT_EQ(disk.entries[1].next_run, kQueueNever);
  EXPECT_EQ(disk.entries[1].exit_code, -1);
  ASSERT_NE(queue_find(disk, "b"), nullptr);
  EXPECT_EQ(queue_find(disk, "B"), nullptr);
  EXPECT_EQ(queue_find(disk, "a2"), nullptr);
  queue_free(disk);
}

// Whether another process can take the lock at once: 0 free, 1 held, 2 error.
int probe_lock(const std::string& lock_path) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(lock_path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      _exit(2);
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      _exit(0);
    }
    _exit(errno == EWOULDBLOCK ? 1 : 2);
  }
  int ws = 0;
  waitpid(pid, &ws, 0);
  return WIFEXITED(ws) ? WEXITSTATUS(ws) : 2;
}

TEST_F(QueueFile, LockIsExclusiveAcrossProcessesAndCloseOnExec) {
  int fd = queue_lock(path_.c_str());
  ASSERT_GE(fd, 0);
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(probe_lock(path_ + ".lock"), 1);
  queue_unlock(fd);
  EXPECT_EQ(probe_lock(path_ + ".lock"), 0);
  queue_unlock(-1);
  // The queue file itself is not created by locking.
  EXPECT_FALSE(exists(path_));
}

TEST_F(QueueFile, LockFailureIsLogged) {
  std::string blocked = dir_ + "/file";
  write_file(blocked, {});
  std::string path = blocked + "/queue.state";
  StderrCapture cap;
  EXPECT_EQ(queue_lock(path.c_str()), -1);
  EXPECT_EQ(count_lines(cap.text(), "ERROR vrk_sched: cannot open queue lock " + path +
                                        ".lock: Not a directory"),
            1);
}

// A child process that sleeps with the given name until the pipe closes.
struct NamedChild {
  pid_t pid = -1;
  UniqueFd hold;

  explicit NamedChild(const char* comm) {
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    int ready[2];
    EXPECT_EQ(pipe2(ready, O_CLOEXEC), 0);
    fflush(nullptr);
    pid = fork();
    if (pid == 0) {
      close(fds[1]);
      prctl(PR_SET_NAME, comm);
      char c = 1;
      (void)!write(ready[1], &c, 1);
      (void)!read(fds[0], &c, 1);
      _exit(0);
    }
    close(fds[0]);
    close(ready[1]);
    char c;
    EXPECT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    hold.reset(fds[1]);
  }
  ~NamedChild() {
    hold.reset();
    waitpid(pid, nullptr, 0);
  }
};

TEST_F(QueueFile, StaleRunnersAreMarkedFailed) {
  NamedChild runner("vrk_sched");
  NamedChild other("vrk_other");
  pid_t gone = fork();
  if (gone == 0) {
    _exit(0);
  }
  waitpid(gone, nullptr, 0);

  struct Row {
    const char* name;
    JobState state;
    int64_t pid;
    bool alive;
  };
  const Row rows[] = {
      {"pid-zero", JobState::kRunning, 0, false},
      {"self", JobState::kRunning, getpid(), false},
      {"other-program", JobState::kRunning, other.pid, false},
      {"vanished", JobState::kRunning, gone, false},
      {"live", JobState::kRunning, runner.pid, true},
      {"done", JobState::kDone, runner.pid, false},
  };
  ASSERT_EQ(queue_open(q_, path_.c_str()), 0);
  for (const Row& r : rows) {
    QueueEntry e = queue_entry_make(r.name);
    e.state = r.state;
    queue_entry_set_pid(e, r.pid);
    ASSERT_EQ(queue_append(q_, e), 0);
    SCOPED_TRACE(r.name);
    EXPECT_EQ(queue_runner_alive(e), r.alive);
  }
  ASSERT_NE(queue_find_live_running(q_), nullptr);
  EXPECT_STREQ(queue_find_live_running(q_)->name, "live");

  StderrCapture cap;
  EXPECT_EQ(queue_mark_stale(q_), 1);
  std::string log = cap.text();
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const QueueEntry* e = queue_find(q_, r.name);
    ASSERT_NE(e, nullptr);
    const bool stale = r.state == JobState::kRunning && !r.alive;
    EXPECT_EQ(e->state, stale ? JobState::kFailed : r.state);
    char line[256];
    snprintf(line, sizeof line,
             "ERROR vrk_sched: job '%s' is RUNNING in the queue file, but its runner (pid %u) "
             "is gone -- marked FAILED",
             r.name, static_cast<unsigned>(r.pid));
    EXPECT_EQ(count_lines(log, line), stale ? 1 : 0);
    if (stale) {
      EXPECT_EQ(queue_entry_pid(*e), 0u);
    }
  }
  QueueState disk;
  ASSERT_EQ(queue_open(disk, path_.c_str()), 0);
  EXPECT_EQ(queue_find(disk, "self")->state, JobState::kFailed);
  queue_free(disk);
  // Nothing left to mark: no save.
  ASSERT_EQ(unlink(path_.c_str()), 0);
  EXPECT_EQ(queue_mark_stale(q_), 0);
  EXPECT_FALSE(exists(path_));
}

}  // namespace
}  // namespace vrk
