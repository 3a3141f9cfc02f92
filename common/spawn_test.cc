#include "common/spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "common/clock.h"
#include "common/fd.h"

namespace vrk {
namespace {

// A pipe whose read end collects what the child writes.
struct Pipe {
  UniqueFd r;
  UniqueFd w;
};

Pipe make_pipe() {
  int fds[2] = {-1, -1};
  EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// Reads until end of file, waiting at most timeout_ms for each chunk.
std::string read_all(int fd, int timeout_ms = 5000) {
  std::string out;
  char buf[4096];
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) {
      out += "<timeout>";
      return out;
    }
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) {
      return out;
    }
    out.append(buf, static_cast<size_t>(n));
  }
}

int always_stop(void* ctx) {
  ++*static_cast<int*>(ctx);
  return 1;
}

TEST(SpawnWait, ExitStatusesAndOutput) {
  struct Case {
    const char* script;
    int32_t want_exit;
    const char* want_out;
  };
  const Case cases[] = {
      {"exit 3", 3, ""},
      {"exit 0", 0, ""},
      {"echo out; echo err >&2; exit 255", 255, "out\nerr\n"},
      {"kill -KILL $$", -1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    Pipe p = make_pipe();
    const char* argv[] = {"sh", "-c", c.script, nullptr};
    SpawnStatus st;
    st.timed_out = 7;
    ASSERT_EQ(spawn_wait(argv, 60, p.w.get(), nullptr, nullptr, st), 0);
    p.w.reset();
    EXPECT_EQ(st.exit_code, c.want_exit);
    EXPECT_EQ(st.timed_out, 0u);
    EXPECT_EQ(st.cancelled, 0u);
    EXPECT_EQ(read_all(p.r.get()), c.want_out);
  }
}

TEST(SpawnWait, MissingProgramExits127) {
  const char* argv[] = {"vrk-no-such-program-here", nullptr};
  SpawnStatus st;
  ASSERT_EQ(spawn_wait(argv, 60, -1, nullptr, nullptr, st), 0);
  EXPECT_EQ(st.exit_code, kSpawnExecFailedStatus);
}

TEST(SpawnWait, SetsFdWarningSwitchOverridingOldValue) {
  ASSERT_EQ(setenv("LVM_SUPPRESS_FD_WARNINGS", "0", 1), 0);
  Pipe p = make_pipe();
  const char* argv[] = {"sh", "-c", "printf '%s' \"$LVM_SUPPRESS_FD_WARNINGS\"", nullptr};
  SpawnStatus st;
  ASSERT_EQ(spawn_wait(argv, 60, p.w.get(), nullptr, nullptr, st), 0);
  p.w.reset();
  EXPECT_EQ(read_all(p.r.get()), "1");
  // Only the child's environment changes.
  EXPECT_STREQ(getenv("LVM_SUPPRESS_FD_WARNINGS"), "0");
  unsetenv("LVM_SUPPRESS_FD_WARNINGS");
}

TEST(SpawnWait, ChildGetsOwnGroupDefaultSigpipeAndNoBlockedSignals) {
  struct sigaction ign = {};
  ign.sa_handler = SIG_IGN;
  struct sigaction old_pipe = {};
  ASSERT_EQ(sigaction(SIGPIPE, &ign, &old_pipe), 0);
  sigset_t block, old_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  ASSERT_EQ(sigprocmask(SIG_BLOCK, &block, &old_mask), 0);

  Pipe p = make_pipe();
  // cat reads its own status: the process group and the signal dispositions after exec.
  const char* argv[] = {"cat", "/proc/self/stat", "/proc/self/status", nullptr};
  SpawnStatus st;
  ASSERT_EQ(spawn_wait(argv, 60, p.w.get(), nullptr, nullptr, st), 0);
  p.w.reset();
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  sigaction(SIGPIPE, &old_pipe, nullptr);
  EXPECT_EQ(st.exit_code, 0);

  std::string out = read_all(p.r.get());
  // /proc/self/stat: "pid (comm) state ppid pgrp ..."; comm is "cat" here.
  int pid = 0, ppid = 0, pgrp = 0;
  char state = 0;
  ASSERT_EQ(sscanf(out.c_str(), "%d (cat) %c %d %d", &pid, &state, &ppid, &pgrp), 4) << out;
  EXPECT_EQ(pgrp, pid);
  EXPECT_EQ(ppid, getpid());

  auto mask_of = [&](const char* key) {
    size_t at = out.find(key);
    EXPECT_NE(at, std::string::npos) << key;
    return at == std::string::npos ? ~0ull : strtoull(out.c_str() + at + strlen(key), nullptr, 16);
  };
  EXPECT_EQ(mask_of("SigIgn:\t") & (1ull << (SIGPIPE - 1)), 0u);
  EXPECT_EQ(mask_of("SigBlk:\t"), 0u);
}

TEST(SpawnWait, TimeLimitStopsTheWholeGroup) {
  Pipe p = make_pipe();
  // The background sleep holds the pipe open: end of file proves it was stopped too.
  const char* argv[] = {"sh", "-c", "sleep 30 & sleep 30; wait", nullptr};
  SpawnStatus st;
  int64_t t0 = clock_monotonic_ms();
  ASSERT_EQ(spawn_wait(argv, 1, p.w.get(), nullptr, nullptr, st), 0);
  p.w.reset();
  EXPECT_LT(clock_monotonic_ms() - t0, 10000);
  EXPECT_EQ(st.exit_code, -1);
  EXPECT_EQ(st.timed_out, 1u);
  EXPECT_EQ(st.cancelled, 0u);
  EXPECT_EQ(read_all(p.r.get()), "");
}

// Starts argv with SIGTERM ignored (inherited through exec), as a program that traps it would.
int spawn_ignoring_term(const char* const* argv, uint32_t timeout, int fd, int64_t grace,
                        int& calls, SpawnStatus& st) {
  struct sigaction ign = {};
  ign.sa_handler = SIG_IGN;
  struct sigaction old = {};
  sigaction(SIGTERM, &ign, &old);
  int rc = spawn_wait_grace(argv, timeout, fd, always_stop, &calls, grace, st);
  sigaction(SIGTERM, &old, nullptr);
  return rc;
}

TEST(SpawnWait, CancelWinsOverLaterTimeLimit) {
  Pipe p = make_pipe();
  // Outlives the one-second limit after the cancel; the limit must then not be recorded.
  const char* argv[] = {"sh", "-c", "sleep 1.3; echo done", nullptr};
  SpawnStatus st;
  int calls = 0;
  ASSERT_EQ(spawn_ignoring_term(argv, 1, p.w.get(), kSpawnKillGraceSeconds, calls, st), 0);
  p.w.reset();
  EXPECT_EQ(st.exit_code, 0);
  EXPECT_EQ(st.cancelled, 1u);
  EXPECT_EQ(st.timed_out, 0u);
  EXPECT_EQ(read_all(p.r.get()), "done\n");
  // The callback kept being called after the stop signal.
  EXPECT_GT(calls, 5);
}

TEST(SpawnWait, KillsAfterGracePeriod) {
  Pipe p = make_pipe();
  const char* argv[] = {"sh", "-c", "echo ready; exec sleep 30", nullptr};
  SpawnStatus st;
  int calls = 0;
  int64_t t0 = clock_monotonic_ms();
  ASSERT_EQ(spawn_ignoring_term(argv, 60, p.w.get(), 0, calls, st), 0);
  p.w.reset();
  EXPECT_LT(clock_monotonic_ms() - t0, 10000);
  EXPECT_EQ(st.exit_code, -1);
  EXPECT_EQ(st.cancelled, 1u);
  EXPECT_EQ(st.timed_out, 0u);
}

TEST(SpawnWait, RefusesMissingArgv) {
  SpawnStatus st;
  const char* argv[] = {nullptr};
  EXPECT_EQ(spawn_wait(argv, 1, -1, nullptr, nullptr, st), -1);
  EXPECT_EQ(st.exit_code, -1);
}

}  // namespace
}  // namespace vrk
