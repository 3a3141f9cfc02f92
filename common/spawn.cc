#include "common/spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "common/fd.h"
#include "common/localzone.h"

extern char** environ;

namespace vrk {
namespace {

// The child's environment: ours with the fd-warning switch set (any old value replaced) and
// without a TZ this process added for itself. Built before fork, so the child only has to hand
// it to exec.
bool spawn_build_env(std::vector<char*>& env) {
  constexpr std::string_view kName = "LVM_SUPPRESS_FD_WARNINGS=";
  try {
    size_t n = 0;
    while (environ != nullptr && environ[n] != nullptr) {
      ++n;
    }
    env.reserve(n + 2);
    for (size_t i = 0; i < n; ++i) {
      if (std::string_view(environ[i]).substr(0, kName.size()) != kName &&
          !localzone_hides_entry(environ[i])) {
        env.push_back(environ[i]);
      }
    }
    env.push_back(const_cast<char*>(kSpawnEnvSuppressFdWarnings));
    env.push_back(nullptr);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// What the child needs; all of it prepared before the clone.
struct SpawnChildArgs {
  const char* const* argv = nullptr;
  int output_fd = -1;
  char* const* env = nullptr;
};

// The child shares the parent's memory until it executes the program (or exits), and the
// parent is suspended meanwhile: only async-signal-safe calls, no allocation, nothing that
// writes our data (the parent owns it), and _exit so that none of the parent's exit handlers
// (the run log's "stopped" entry) run here. Not instrumented by the address sanitizer: its
// frames would poison the shadow of a stack it does not know and that is the parent's, and
// nothing returns to unpoison it.
[[noreturn]] [[gnu::no_sanitize_address]] void spawn_child(const SpawnChildArgs& a) {
  // Signals stay blocked (by the parent) until the handlers are gone: one of ours would run here
  // on the parent's data. A handler is replaced by the default, which exec would do anyway; an
  // ignored signal stays ignored across exec, as it would after fork.
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction old = {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_DFL &&
        old.sa_handler != SIG_IGN) {
      sigaction(sig, &dfl, nullptr);
    }
  }
  setpgid(0, 0);
  const int output_fd = a.output_fd;
  if (output_fd >= 0) {
    dup2(output_fd, STDOUT_FILENO);
    dup2(output_fd, STDERR_FILENO);
    if (output_fd != STDOUT_FILENO && output_fd != STDERR_FILENO) {
      close(output_fd);
    } else {
      // dup2 onto itself keeps close-on-exec; the program must still get this descriptor.
      int flags = fcntl(output_fd, F_GETFD);
      if (flags >= 0) {
        fcntl(output_fd, F_SETFD, flags & ~FD_CLOEXEC);
      }
    }
  }
  // The network process ignores SIGPIPE; a job must get the default back, and none of the
  // caller's blocked signals.
  sigaction(SIGPIPE, &dfl, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execvpe(a.argv[0], const_cast<char* const*>(a.argv), a.env);
  _exit(kSpawnExecFailedStatus);
}

[[gnu::no_sanitize_address]] int spawn_child_entry(void* p) {
  spawn_child(*static_cast<const SpawnChildArgs*>(p));
}

// The child's stack, in the parent's frame (the parent does not run until the child has
// executed the program). Enough for the PATH search, which copies each candidate path (up to
// PATH_MAX and a name) onto the stack, and for the /bin/sh fallback's copy of an argument
// vector of kSpawnMaxArgs elements.
inline constexpr size_t kSpawnChildStackBytes = 64 * 1024;
static_assert(kSpawnChildStackBytes >= (kSpawnMaxArgs + 2) * sizeof(char*) + 3 * PATH_MAX);

// Starts the child like fork would, without copying the page tables or taking copy-on-write
// faults on either side: the program is started from a clone that shares our memory, and we
// resume once it has executed it (or exited with 127). The child's pid, or -1.
pid_t spawn_start(const char* const* argv, int output_fd, char* const* env) {
  SpawnChildArgs args;
  args.argv = argv;
  args.output_fd = output_fd;
  args.env = env;
  static_assert(kSpawnChildStackBytes % 16 == 0);
  alignas(16) char stack[kSpawnChildStackBytes];
  sigset_t all, old;
  sigfillset(&all);
  sigprocmask(SIG_SETMASK, &all, &old);
  const pid_t pid =
      clone(spawn_child_entry, stack + sizeof stack, CLONE_VM | CLONE_VFORK | SIGCHLD, &args);
  const int e = errno;
  sigprocmask(SIG_SETMASK, &old, nullptr);
  errno = e;
  return pid;
}

void spawn_signal(pid_t pid, int sig) {
  kill(-pid, sig);
  kill(pid, sig);
}

// SIGTERM stays pending on a stopped process (a job reading the terminal from its own group gets
// SIGTTIN): SIGCONT lets it act on the SIGTERM instead of waiting for the SIGKILL.
void spawn_stop(pid_t pid) {
  spawn_signal(pid, SIGTERM);
  spawn_signal(pid, SIGCONT);
}

void spawn_take_status(int wstatus, SpawnStatus& status) {
  if (WIFEXITED(wstatus)) {
    status.exit_code = WEXITSTATUS(wstatus);
  }
}

// What one pass of the wait loop watches and until when.
struct SpawnWaiter {
  UniqueFd pidfd;  // readable once the child has ended; invalid: find that out at the ticks
  int64_t next_tick_ms = 0;
  int64_t wake_quiet_until_ms = 0;  // a wake descriptor that stayed readable rests until then
};

struct SpawnWoken {
  bool wake_fd = false;
  bool child = false;  // the pidfd was readable before the caller's waitpid
};

// Blocks until the next tick, the child's end, the wake descriptor or a signal (EINTR ends the
// wait at once, so a caller's stop flag reaches the callback without delay).
SpawnWoken spawn_wait_pass(SpawnWaiter& w, int wake_fd) {
  int64_t now = clock_monotonic_ms();
  int64_t until = w.next_tick_ms;
  struct pollfd fds[2] = {};
  nfds_t n = 0;
  if (w.pidfd.valid()) {
    fds[n++] = {w.pidfd.get(), POLLIN, 0};
  }
  nfds_t wake_at = n;
  if (wake_fd >= 0) {
    if (now < w.wake_quiet_until_ms) {
      until = std::min(until, w.wake_quiet_until_ms);
    } else {
      fds[n++] = {wake_fd, POLLIN, 0};
    }
  }
  int timeout_ms = until > now ? static_cast<int>(until - now) : 0;
  int ready = poll(fds, n, timeout_ms);
  SpawnWoken woken;
  if (ready > 0) {
    woken.child = w.pidfd.valid() && fds[0].revents != 0;
    // POLLNVAL too: a closed descriptor rests like one nobody reads.
    woken.wake_fd = wake_at < n && fds[wake_at].revents != 0;
  }
  now = clock_monotonic_ms();
  if (now >= w.next_tick_ms) {
    w.next_tick_ms += kSpawnPollMs;
    if (w.next_tick_ms <= now) {
      w.next_tick_ms = now + kSpawnPollMs;  // the callback overran a tick: no burst of calls
    }
  }
  return woken;
}

// Whether fd is readable (or closed) right now.
bool spawn_fd_ready(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, 0) != 0;  // an error rests too, as a closed descriptor does
}

}  // namespace

int spawn_wait(const char* const* argv, uint32_t timeout_seconds, int output_fd,
               SpawnIdleFn idle_callback, void* callback_context, SpawnStatus& status) {
  SpawnWaitOptions options;
  options.idle_callback = idle_callback;
  options.callback_context = callback_context;
  return spawn_wait_with(argv, timeout_seconds, output_fd, options, status);
}

int spawn_wait_grace(const char* const* argv, uint32_t timeout_seconds, int output_fd,
                     SpawnIdleFn idle_callback, void* callback_context, int64_t kill_grace_seconds,
                     SpawnStatus& status) {
  SpawnWaitOptions options;
  options.idle_callback = idle_callback;
  options.callback_context = callback_context;
  options.kill_grace_seconds = kill_grace_seconds;
  return spawn_wait_with(argv, timeout_seconds, output_fd, options, status);
}

int spawn_wait_with(const char* const* argv, uint32_t timeout_seconds, int output_fd,
                    const SpawnWaitOptions& options, SpawnStatus& status) {
  status = SpawnStatus{};
  if (argv == nullptr || argv[0] == nullptr) {
    return -1;
  }
  size_t argc = 0;
  while (argv[argc] != nullptr && argc <= kSpawnMaxArgs) {
    ++argc;
  }
  if (argc > kSpawnMaxArgs) {
    return -1;
  }
  std::vector<char*> env;
  if (!spawn_build_env(env)) {
    return -1;
  }

  // The child executes at once and flushes nothing, but the program may write where our
  // buffered output goes: ours comes first.
  fflush(nullptr);
  const pid_t pid = spawn_start(argv, output_fd, env.data());
  if (pid < 0) {
    return -1;
  }
  // The child has set it before we resume; this one is refused once the program runs, and
  // only matters if the child could not set it.
  setpgid(pid, pid);

  SpawnWaiter waiter;
  // Close-on-exec by the kernel. A seccomp filter or an old kernel may refuse it (ENOSYS,
  // EPERM): the child's end is then found at the next tick. A syscall, as glibc 2.36's
  // <sys/pidfd.h> lacks C linkage for C++.
  waiter.pidfd.reset(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  waiter.next_tick_ms = clock_monotonic_ms() + kSpawnPollMs;
  void* const context = options.callback_context;
  const int64_t start = clock_monotonic_s();
  int64_t stop_time = 0;
  for (;;) {
    int wake_fd = options.wake_fd != nullptr ? options.wake_fd(context) : -1;
    SpawnWoken woken = spawn_wait_pass(waiter, wake_fd);
    int answer = 0;
    if (options.idle_callback != nullptr) {
      answer = options.idle_callback(context);
    }
    // A descriptor the callback drained is watched again at once: resting after every wake
    // would hold each next API request of a busy client back by up to two milliseconds.
    if (woken.wake_fd && spawn_fd_ready(wake_fd)) {
      waiter.wake_quiet_until_ms = clock_monotonic_ms() + 1;
    }
    int wstatus = 0;
    pid_t r = waitpid(pid, &wstatus, WNOHANG);
    if (r == pid) {
      spawn_take_status(wstatus, status);
      break;
    }
    if (r < 0 && errno == ECHILD) {
      // Reaped behind our back (SIGCHLD ignored): the status is lost, so report no exit code.
      break;
    }
    if (woken.child) {
      // Readable yet not reapable would make every wait return at once: use the ticks.
      waiter.pidfd.reset();
    }
    const int64_t now = clock_monotonic_s();
    if (status.timed_out == 0 && status.cancelled == 0) {
      if (answer != 0) {
        status.cancelled = 1;
      } else if (now - start >= static_cast<int64_t>(timeout_seconds)) {
        status.timed_out = 1;
      } else {
        continue;
      }
      stop_time = now;
      spawn_stop(pid);
    } else if (now - stop_time > options.kill_grace_seconds) {
      spawn_signal(pid, SIGKILL);
      do {
        r = waitpid(pid, &wstatus, 0);
      } while (r < 0 && errno == EINTR);
      if (r == pid) {
        spawn_take_status(wstatus, status);
      }
      break;
    }
  }
  return 0;
}

}  // namespace vrk
