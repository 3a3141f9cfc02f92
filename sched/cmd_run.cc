#include "sched/cmd_run.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <new>

#include "common/cli.h"
#include "common/error.h"
#include "common/log.h"
#include "common/runlog.h"
#include "common/scope_exit.h"
#include "sched/config_load.h"
#include "sched/job_run.h"
#include "sched/notify.h"
#include "sched/queue.h"
#include "sched/queue_sync.h"
#include "sched/settings.h"
#include "sched/usage.h"

namespace vrk {
namespace {

inline constexpr uint64_t kRunlogStartStop = 1;

// Whether the job's program gets --background: an explicit flag wins, then the job's key for
// this command, then the command's default (start yes, run no); never for a command that does
// not take it.
bool run_background_decision(const JobConfig& job, int argc, char** argv, bool is_start) {
  const int kind = static_cast<int>(job.command);
  const bool takes = command_takes_retention(kind);
  if (cli_flag(argc, argv, "--background")) {
    if (!takes) {
      fprintf(stderr, "note: --background ignored, command=%s does not take it\n",
              command_keyword(kind));
    }
    return takes;
  }
  if (cli_flag(argc, argv, "--no-background")) {
    return false;
  }
  const int32_t key = is_start ? job.start_background : job.run_background;
  const bool wanted = key >= 0 ? key != 0 : is_start;
  return wanted && takes;
}

// The detached child of start: own session, no terminal, output to /dev/null, log lines to
// syslog unless --no-syslog.
void run_detach_child() {
  setsid();
  signal(SIGHUP, SIG_IGN);
  int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (fd >= 0) {
    // dup2 clears close-on-exec on 0, 1 and 2, which the job's program inherits.
    dup2(fd, STDIN_FILENO);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    if (fd > STDERR_FILENO) {
      close(fd);
    } else {
      // With standard input closed on entry, /dev/null came back as 0, 1 or 2, and dup2 onto
      // itself keeps close-on-exec: the job would start without standard input.
      fcntl(fd, F_SETFD, 0);
    }
  }
  if (runlog_syslog_on()) {
    log_to_syslog(true);
  }
  // The child is a process of its own from here on: it inherited the parent's "stopped" exit
  // entry, so it records its own start too, and each pid gets one start and one end entry.
  runlog_write(kRunlogStartStop, "started");
}

}  // namespace

namespace {

// Why a run did not happen, for start's waiting parent; run only logs it.
inline constexpr int kRunWhyMsgSize = kRunWhySize + 256;

// run_job_now with the caller's hooks in run (timeout is the default; the job's own wins), and
// the reason a run did not happen in why.
int run_now(const SchedConfig& config, QueueState& queue, const char* job_name, JobRunSettings run,
            bool force, char (&why)[kRunWhyMsgSize]) {
  why[0] = '\0';
  const JobConfig* job = config_find_job(config, job_name);
  if (job == nullptr) {
    log_msg(kLogError, "vrk_sched: unknown job '%s'", job_name);
    snprintf(why, sizeof why, "unknown job '%s'", job_name);
    return kErrNotFound;
  }
  QueueLock lock(queue.path);
  (void)queue_reload_or_keep(queue);
  (void)queue_mark_stale(queue);
  if (!force) {
    if (const QueueEntry* live = queue_find_live_running(queue)) {
      if (strcmp(live->name, job->name) == 0) {
        snprintf(why, sizeof why, "job '%s' is already RUNNING (pid %u; use --force to override)",
                 live->name, queue_entry_pid(*live));
      } else {
        snprintf(why, sizeof why,
                 "job '%s' is RUNNING (pid %u) -- jobs run one at a time, try again later (or use "
                 "--force to run '%s' alongside it)",
                 live->name, queue_entry_pid(*live), job->name);
      }
      log_msg(kLogError, "vrk_sched: %s", why);
      return kErrAgain;
    }
  }
  if (job->timeout_seconds != 0) {
    run.timeout = job->timeout_seconds;
  }
  RunResult result;
  uint32_t outcome = job_run(*job, run, queue, lock, result);
  if (outcome == kRunNotStarted) {
    snprintf(why, sizeof why, "job '%s' not started: %s", job->name, result.not_started_why);
    log_msg(kLogError, "vrk_sched: %s", why);
    return -1;
  }
  const int saved = queue_save(queue);
  lock.release();
  if (saved != 0) {
    log_msg(kLogError, "vrk_sched: job '%s' ended, but its result could not be saved to %s",
            job->name, queue.path);
  }
  notify_job_result(config, *job, result, nullptr);
  return outcome == kRunDone && saved == 0 ? 0 : -1;
}

volatile sig_atomic_t g_run_stop = 0;

void on_run_stop_signal(int sig) {
  if (g_run_stop == 0) {
    g_run_stop = sig;
  }
}

// The job runs in a process group of its own, so a signal that ended vrk_sched would leave it
// running without a footer, and its entry would later look stale while it still runs. These
// signals cancel the job instead: SIGTERM to its group, the footer, the result saved.
void run_catch_stop_signals(bool hangup) {
  struct sigaction sa = {};
  sa.sa_handler = on_run_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  if (hangup) {
    sigaction(SIGHUP, &sa, nullptr);
  }
}

void run_write_all(int fd, const char* text) {
  size_t len = strlen(text);
  while (len > 0) {
    ssize_t n = write(fd, text, len);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;
    }
    text += n;
    len -= static_cast<size_t>(n);
  }
}

// start's detached child tells its parent over this pipe that the job started ("started\n")
// or why it did not (the reason and a line feed); the parent exits only then, with 0 or 1.
inline constexpr const char kStartedWord[] = "started\n";

// The hooks' context: start's report pipe (-1 in run, and once it has been told).
struct RunHooks {
  int report_fd = -1;
};

void run_report_started(void* p) {
  auto* hooks = static_cast<RunHooks*>(p);
  if (hooks->report_fd >= 0) {
    run_write_all(hooks->report_fd, kStartedWord);
    close(hooks->report_fd);
    hooks->report_fd = -1;
  }
}

// A caught signal is the cancel of run and of start's detached child.
bool run_stop_asked(void*, char (&by)[kJobLogCancelledBySize]) {
  const int sig = g_run_stop;
  if (sig == 0) {
    return false;
  }
  const char* abbrev = sigabbrev_np(sig);
  snprintf(by, sizeof by, "signal SIG%s", abbrev != nullptr ? abbrev : "?");
  return true;
}

JobRunSettings run_settings(const SchedSettings& settings, bool background, RunHooks& hooks) {
  JobRunSettings run;
  run.background = background;
  run.timeout = settings.job_timeout_seconds;
  run.log_dir = settings.job_log_dir;
  run.keep = settings.job_log_keep;
  run.hook_context = &hooks;
  run.cancel = run_stop_asked;
  run.started = run_report_started;
  return run;
}

// The report pipe, kept above the standard descriptors: the child points 0, 1 and 2 at
// /dev/null, which must not replace an end of the pipe (possible when one was closed on entry).
bool start_report_pipe(int (&fds)[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return false;
  }
  for (int& fd : fds) {
    if (fd <= STDERR_FILENO) {
      int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
      close(fd);
      fd = moved;
    }
  }
  if (fds[0] < 0 || fds[1] < 0) {
    const int e = errno;
    for (int fd : fds) {
      if (fd >= 0) {
        close(fd);
      }
    }
    errno = e;
    return false;
  }
  return true;
}

// Reads the child's report; true once it says started, else the reason in why.
bool start_wait_report(int fd, char (&why)[kRunWhyMsgSize]) {
  size_t used = 0;
  why[0] = '\0';
  while (used < sizeof why - 1) {
    ssize_t n = read(fd, why + used, sizeof why - 1 - used);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    used += static_cast<size_t>(n);
    why[used] = '\0';
    if (memchr(why, '\n', used) != nullptr) {
      break;
    }
  }
  why[used] = '\0';
  if (strcmp(why, kStartedWord) == 0) {
    return true;
  }
  why[strcspn(why, "\n")] = '\0';
  if (why[0] == '\0') {
    snprintf(why, sizeof why, "the detached run ended before its job started");
  }
  return false;
}

}  // namespace

int run_job_now(const SchedConfig& config, QueueState& queue, const char* job_name,
                uint32_t timeout, const char* log_dir, uint32_t keep, bool force, bool background) {
  JobRunSettings run;
  run.background = background;
  run.timeout = timeout;
  run.log_dir = log_dir;
  run.keep = keep;
  char why[kRunWhyMsgSize];
  return run_now(config, queue, job_name, run, force, why);
}

int cmd_run_start(const char* config_path, const char* queue_path, int argc, char** argv,
                  bool is_start) {
  if (argc < 3 || argv[2][0] == '-') {
    sched_print_usage(stdout);
    return 2;
  }
  const char* job_name = argv[2];
  if (cli_flag(argc, argv, "--background") && cli_flag(argc, argv, "--no-background")) {
    fprintf(stderr, "error: --background and --no-background are mutually exclusive\n");
    return 2;
  }
  SchedConfigPtr config = config_new();
  if (!config) {
    fprintf(stderr, "error: %s\n", error_text(kErrNoMem));
    return 2;
  }
  ScopeExit free_config([&] { config_free(*config); });
  char err[kConfigErrSize];
  if (config_load(config_path, *config, err) != 0) {
    fprintf(stderr, "error: %s\n", err);
    return 2;
  }
  SchedSettings settings;
  if (sched_settings_resolve(argc, argv, *config, settings, err) != 0) {
    fprintf(stderr, "error: %s\n", err);
    return 2;
  }
  QueueState queue;
  ScopeExit free_queue([&] { queue_free(queue); });
  if (queue_open(queue, queue_path) != 0) {
    fprintf(stderr, "error: cannot open queue %s\n", queue_path);
    return 1;
  }
  const bool force = cli_flag(argc, argv, "--force");

  const JobConfig* job = config_find_job(*config, job_name);
  if (job == nullptr && is_start) {
    fprintf(stderr, "error: unknown job '%s'\n", job_name);
    return 1;
  }
  const bool background = job != nullptr && run_background_decision(*job, argc, argv, is_start);

  RunHooks hooks;
  const JobRunSettings run = run_settings(settings, background, hooks);
  char why[kRunWhyMsgSize];
  if (!is_start) {
    run_catch_stop_signals(true);
    return run_now(*config, queue, job_name, run, force, why) == 0 ? 0 : 1;
  }

  if (!force) {
    if (const QueueEntry* live = queue_find_live_running(queue)) {
      if (strcmp(live->name, job_name) == 0) {
        fprintf(stderr, "error: job '%s' is already RUNNING (pid %u; use --force to override)\n",
                live->name, queue_entry_pid(*live));
      } else {
        fprintf(stderr,
                "error: job '%s' is RUNNING (pid %u) -- jobs run one at a time, try again later "
                "(or use --force to run '%s' alongside it)\n",
                live->name, queue_entry_pid(*live), job_name);
      }
      return 1;
    }
  }
  int report[2];
  if (!start_report_pipe(report)) {
    fprintf(stderr, "error: cannot create a pipe: %s\n", strerror(errno));
    return 1;
  }
  // Buffered output would otherwise be written by both processes.
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    fprintf(stderr, "error: fork failed: %s\n", strerror(errno));
    close(report[0]);
    close(report[1]);
    return 1;
  }
  if (pid > 0) {
    close(report[1]);
    // Report success only once the child has saved the RUNNING mark: a queue that cannot be
    // written, or a run that started meanwhile, fails here instead of in a silent child.
    const bool started = start_wait_report(report[0], why);
    close(report[0]);
    if (!started) {
      fprintf(stderr, "error: %s\n", why);
      return 1;
    }
    printf("started job '%s' in the background (pid %d, %s --background), log: %s/%s/\n", job_name,
           static_cast<int>(pid), background ? "with" : "without", settings.job_log_dir, job_name);
    return 0;
  }
  close(report[0]);
  run_detach_child();
  run_catch_stop_signals(false);
  hooks.report_fd = report[1];
  int rc = run_now(*config, queue, job_name, run, force, why);
  if (hooks.report_fd >= 0) {
    char line[kRunWhyMsgSize + 1];
    snprintf(line, sizeof line, "%s\n", why[0] != '\0' ? why : "the job did not start");
    run_write_all(hooks.report_fd, line);
    close(hooks.report_fd);
  }
  return rc == 0 ? 0 : 1;
}

}  // namespace vrk
