#include "common/spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

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

volatile sig_atomic_t g_usr1_seen = 0;

void on_usr1(int) {
  g_usr1_seen = 1;
}

TEST(SpawnWait, CallerHandlersAndMaskStayWhileTheProgramGetsDefaults) {
  // The program is started from a clone that shares our memory: resetting handlers there must
  // not reset ours, and our own mask must be back after the start.
  struct sigaction catch_usr1 = {};
  catch_usr1.sa_handler = on_usr1;
  sigemptyset(&catch_usr1.sa_mask);
  struct sigaction ign = {};
  ign.sa_handler = SIG_IGN;
  struct sigaction old_usr1 = {}, old_usr2 = {};
  ASSERT_EQ(sigaction(SIGUSR1, &catch_usr1, &old_usr1), 0);
  ASSERT_EQ(sigaction(SIGUSR2, &ign, &old_usr2), 0);
  sigset_t block, before, after;
  sigemptyset(&block);
  sigaddset(&block, SIGHUP);
  ASSERT_EQ(sigprocmask(SIG_BLOCK, &block, &before), 0);

  Pipe p = make_pipe();
  const char* argv[] = {"cat", "/proc/self/status", nullptr};
  SpawnStatus st;
  ASSERT_EQ(spawn_wait(argv, 60, p.w.get(), nullptr, nullptr, st), 0);
  p.w.reset();
  ASSERT_EQ(sigprocmask(SIG_SETMASK, nullptr, &after), 0);
  struct sigaction now_usr1 = {};
  ASSERT_EQ(sigaction(SIGUSR1, nullptr, &now_usr1), 0);
  g_usr1_seen = 0;
  raise(SIGUSR1);
  const bool handler_ran = g_usr1_seen != 0;
  sigprocmask(SIG_SETMASK, &before, nullptr);
  sigaction(SIGUSR1, &old_usr1, nullptr);
  sigaction(SIGUSR2, &old_usr2, nullptr);

  EXPECT_EQ(st.exit_code, 0);
  EXPECT_EQ(now_usr1.sa_handler, on_usr1);
  EXPECT_TRUE(handler_ran);
  EXPECT_EQ(sigismember(&after, SIGHUP), 1);
  EXPECT_EQ(sigismember(&after, SIGTERM), 0);

  std::string out = read_all(p.r.get());
  auto mask_of = [&](const char* key) {
    size_t at = out.find(key);
    EXPECT_NE(at, std::string::npos) << key;
    return at == std::string::npos ? 0ull : strtoull(out.c_str() + at + strlen(key), nullptr, 16);
  };
  // Caught is default after exec; ignored stays ignored, as after fork and exec.
  EXPECT_EQ(mask_of("SigCgt:\t") & (1ull << (SIGUSR1 - 1)), 0u);
  EXPECT_NE(mask_of("SigIgn:\t") & (1ull << (SIGUSR2 - 1)), 0u);
  EXPECT_EQ(mask_of("SigBlk:\t"), 0u);
}

TEST(SpawnWait, SearchesALongPathAndRunsScriptsWithoutInterpreterLine) {
  // Both happen on the child's own small stack: the search copies each candidate path there,
  // and a file without "#!" is handed to /bin/sh with a vector built there.
  const char* tmp = getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "/tmp";
  std::string dir = std::string(tmp) + "/vrk-spawn-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  const std::string script = dir + "/vrk-spawn-plain-script";
  {
    UniqueFd fd(open(script.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755));
    ASSERT_TRUE(fd.valid());
    const char text[] = "echo \"args: $*\"\nexit 7\n";
    ASSERT_EQ(write(fd.get(), text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
  }
  const char* old_path = getenv("PATH");
  const std::string saved = old_path != nullptr ? old_path : "";
  std::string path;
  for (int i = 0; i < 200; ++i) {
    path += dir + "/missing-" + std::to_string(i) + ":";
  }
  path += dir + ":" + saved;
  ASSERT_EQ(setenv("PATH", path.c_str(), 1), 0);

  Pipe p = make_pipe();
  const char* argv[] = {"vrk-spawn-plain-script", "a", "b c", nullptr};
  SpawnStatus st;
  const int rc = spawn_wait(argv, 60, p.w.get(), nullptr, nullptr, st);
  p.w.reset();
  setenv("PATH", saved.c_str(), 1);
  unlink(script.c_str());
  rmdir(dir.c_str());
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(st.exit_code, 7);
  EXPECT_EQ(read_all(p.r.get()), "args: a b c\n");
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

// Collects the child's output (its first line is its pid) and, past a deadline, kills the
// child's group: a stopped program that is never woken then fails the test instead of hanging.
struct Watchdog {
  int out_fd = -1;  // non-blocking read end
  int64_t deadline_ms = 0;
  std::string seen;
  bool fired = false;
};

int watchdog_idle(void* p) {
  auto* w = static_cast<Watchdog*>(p);
  char buf[64];
  ssize_t n;
  while ((n = read(w->out_fd, buf, sizeof buf)) > 0) {
    w->seen.append(buf, static_cast<size_t>(n));
  }
  if (!w->fired && clock_monotonic_ms() > w->deadline_ms) {
    w->fired = true;
    int pid = atoi(w->seen.c_str());
    if (pid > 0) {
      kill(-pid, SIGKILL);
    }
  }
  return 0;
}

TEST(SpawnWait, TimeLimitEndsAStoppedProgram) {
  Pipe p = make_pipe();
  ASSERT_EQ(fcntl(p.r.get(), F_SETFL, O_NONBLOCK), 0);
  // Stops itself as a job reading the terminal from its own group would (SIGTTIN). SIGTERM alone
  // stays pending on a stopped process; only the hour-long grace would end it.
  const char* argv[] = {"sh", "-c", "echo $$; kill -STOP $$; echo woken", nullptr};
  Watchdog w;
  w.out_fd = p.r.get();
  w.deadline_ms = clock_monotonic_ms() + 20000;
  SpawnStatus st;
  ASSERT_EQ(spawn_wait_grace(argv, 1, p.w.get(), watchdog_idle, &w, 3600, st), 0);
  EXPECT_FALSE(w.fired) << "still stopped 20 s after the time limit";
  EXPECT_EQ(st.timed_out, 1u);
  EXPECT_EQ(st.cancelled, 0u);
  EXPECT_EQ(st.exit_code, -1);
  // SIGTERM is taken before the program runs on.
  watchdog_idle(&w);
  EXPECT_EQ(w.seen.find("woken"), std::string::npos) << w.seen;
}

// The child's output is the wake descriptor: each line it writes is answered with one line on
// its standard input, from the callback.
struct PingPong {
  int wake_r = -1;  // non-blocking
  int ack_w = -1;
  int lines = 0;
};

int ping_pong_wake_fd(void* p) {
  return static_cast<PingPong*>(p)->wake_r;
}

int ping_pong_idle(void* p) {
  auto* pp = static_cast<PingPong*>(p);
  char buf[256];
  ssize_t n;
  while ((n = read(pp->wake_r, buf, sizeof buf)) > 0) {
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] == '\n') {
        ++pp->lines;
        EXPECT_EQ(write(pp->ack_w, "k\n", 2), 2);
      }
    }
  }
  return 0;
}

TEST(SpawnWait, WakeDescriptorCallsTheCallback) {
  constexpr int kRounds = 40;
  Pipe wake = make_pipe();
  Pipe ack = make_pipe();
  ASSERT_EQ(fcntl(wake.r.get(), F_SETFL, O_NONBLOCK), 0);
  // Standard input is always inherited: lend ours to the child for the answers.
  UniqueFd saved_stdin(fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0));
  ASSERT_EQ(dup2(ack.r.get(), STDIN_FILENO), STDIN_FILENO);
  const std::string script = "i=0; while [ $i -lt " + std::to_string(kRounds) +
                             " ]; do echo $i; read x || exit 9; i=$((i + 1)); done";
  const char* argv[] = {"sh", "-c", script.c_str(), nullptr};
  PingPong pp;
  pp.wake_r = wake.r.get();
  pp.ack_w = ack.w.get();
  SpawnWaitOptions opt;
  opt.idle_callback = ping_pong_idle;
  opt.wake_fd = ping_pong_wake_fd;
  opt.callback_context = &pp;
  SpawnStatus st;
  int rc = spawn_wait_with(argv, 60, wake.w.get(), opt, st);
  if (saved_stdin.valid()) {
    dup2(saved_stdin.get(), STDIN_FILENO);
  } else {
    close(STDIN_FILENO);
  }
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(st.exit_code, 0);
  // Every line was answered from the callback; how soon (between ticks rather than at them) is
  // measured by BM_SpawnWakeRoundTrips in bench/support_bench.cc.
  EXPECT_EQ(pp.lines, kRounds);
}

struct CountCalls {
  int fd = -1;
  int calls = 0;
};

int count_calls_wake_fd(void* p) {
  return static_cast<CountCalls*>(p)->fd;
}

int count_calls_idle(void* p) {
  ++static_cast<CountCalls*>(p)->calls;
  return 0;
}

TEST(SpawnWait, WakeDescriptorThatStaysReadyDoesNotSpin) {
  Pipe at_eof = make_pipe();
  at_eof.w.reset();  // readable for good, and the callback never reads it
  int unused = 1000;
  while (fcntl(unused, F_GETFD) >= 0) {
    ++unused;
  }
  struct Case {
    const char* name;
    int fd;
  };
  const Case cases[] = {{"end of file never read", at_eof.r.get()}, {"closed", unused}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const char* argv[] = {"sleep", "0.3", nullptr};
    CountCalls cc;
    cc.fd = c.fd;
    SpawnWaitOptions opt;
    opt.idle_callback = count_calls_idle;
    opt.wake_fd = count_calls_wake_fd;
    opt.callback_context = &cc;
    SpawnStatus st;
    ASSERT_EQ(spawn_wait_with(argv, 60, -1, opt, st), 0);
    EXPECT_EQ(st.exit_code, 0);
    // At most one wake a millisecond plus the ticks; a spinning loop makes many thousands.
    EXPECT_GE(cc.calls, 1);
    EXPECT_LT(cc.calls, 1000);
  }
}

TEST(SpawnWait, ChildReapedElsewhereEndsTheWait) {
  // With SIGCHLD ignored the kernel reaps the child itself: its status is lost, and the wait
  // must end rather than run into the time limit.
  struct sigaction ign = {};
  ign.sa_handler = SIG_IGN;
  struct sigaction old = {};
  ASSERT_EQ(sigaction(SIGCHLD, &ign, &old), 0);
  const char* const scripts[] = {"exit 0", "sleep 0.2"};
  for (const char* script : scripts) {
    SCOPED_TRACE(script);
    const char* argv[] = {"sh", "-c", script, nullptr};
    SpawnStatus st;
    // Three seconds: with whole-second checks a one-second limit may pass in a moment.
    EXPECT_EQ(spawn_wait_grace(argv, 3, -1, nullptr, nullptr, 0, st), 0);
    EXPECT_EQ(st.exit_code, -1);
    EXPECT_EQ(st.timed_out, 0u);
  }
  sigaction(SIGCHLD, &old, nullptr);
}

TEST(SpawnWait, RefusesMissingArgv) {
  SpawnStatus st;
  const char* argv[] = {nullptr};
  EXPECT_EQ(spawn_wait(argv, 1, -1, nullptr, nullptr, st), -1);
  EXPECT_EQ(st.exit_code, -1);
}

TEST(SpawnWait, ArgumentCountLimit) {
  // sh -c 'exit $#' gets the elements after the script and its $0.
  std::vector<const char*> argv = {"sh", "-c", "exit $(( $# % 256 ))", "sh"};
  while (argv.size() < kSpawnMaxArgs) {
    argv.push_back("x");
  }
  argv.push_back(nullptr);
  SpawnStatus st;
  ASSERT_EQ(spawn_wait(argv.data(), 60, -1, nullptr, nullptr, st), 0);
  EXPECT_EQ(st.exit_code, static_cast<int32_t>((kSpawnMaxArgs - 4) % 256));
  argv.back() = "x";
  argv.push_back(nullptr);
  EXPECT_EQ(spawn_wait(argv.data(), 60, -1, nullptr, nullptr, st), -1);
  EXPECT_EQ(st.exit_code, -1);
}

}  // namespace
}  // namespace vrk
