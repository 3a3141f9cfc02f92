#include "common/spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <new>
#include <string_view>
#include <vector>

#include "common/clock.h"

extern char** environ;

namespace vrk {
namespace {

// The child's environment: ours with the fd-warning switch set (any old value replaced). Built
// before fork, so the child only has to hand it to exec.
bool spawn_build_env(std::vector<char*>& env) {
  constexpr std::string_view kName = "LVM_SUPPRESS_FD_WARNINGS=";
  try {
    size_t n = 0;
    while (environ != nullptr && environ[n] != nullptr) {
      ++n;
    }
    env.reserve(n + 2);
    for (size_t i = 0; i < n; ++i) {
      if (std::string_view(environ[i]).substr(0, kName.size()) != kName) {
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

// Runs in the forked child: only async-signal-safe calls, and _exit so that none of the
// parent's exit handlers (the run log's "stopped" entry) run here.
[[noreturn]] void spawn_child(const char* const* argv, int output_fd, char* const* env) {
  setpgid(0, 0);
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
  struct sigaction sa = {};
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGPIPE, &sa, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execvpe(argv[0], const_cast<char* const*>(argv), env);
  _exit(kSpawnExecFailedStatus);
}

void spawn_signal(pid_t pid, int sig) {
  kill(-pid, sig);
  kill(pid, sig);
}

void spawn_sleep_ms(int ms) {
  struct timespec ts = {};
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  // An interrupting signal only shortens this pass.
  nanosleep(&ts, nullptr);
}

void spawn_take_status(int wstatus, SpawnStatus& status) {
  if (WIFEXITED(wstatus)) {
    status.exit_code = WEXITSTATUS(wstatus);
  }
}

}  // namespace

int spawn_wait(const char* const* argv, uint32_t timeout_seconds, int output_fd,
               SpawnIdleFn idle_callback, void* callback_context, SpawnStatus& status) {
  return spawn_wait_grace(argv, timeout_seconds, output_fd, idle_callback, callback_context,
                          kSpawnKillGraceSeconds, status);
}

int spawn_wait_grace(const char* const* argv, uint32_t timeout_seconds, int output_fd,
                     SpawnIdleFn idle_callback, void* callback_context, int64_t kill_grace_seconds,
                     SpawnStatus& status) {
  status = SpawnStatus{};
  if (argv == nullptr || argv[0] == nullptr) {
    return -1;
  }
  std::vector<char*> env;
  if (!spawn_build_env(env)) {
    return -1;
  }

  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    return -1;
  }
  if (pid == 0) {
    spawn_child(argv, output_fd, env.data());
  }
  // Both sides set the group, so a signal sent right after fork already reaches it.
  setpgid(pid, pid);

  const int64_t start = clock_monotonic_s();
  int64_t stop_time = 0;
  for (;;) {
    spawn_sleep_ms(kSpawnPollMs);
    int answer = 0;
    if (idle_callback != nullptr) {
      answer = idle_callback(callback_context);
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
      spawn_signal(pid, SIGTERM);
    } else if (now - stop_time > kill_grace_seconds) {
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
