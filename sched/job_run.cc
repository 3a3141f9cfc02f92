#include "sched/job_run.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/error.h"
#include "common/fd.h"
#include "common/fs.h"
#include "common/log.h"
#include "common/spawn.h"
#include "common/text.h"
#include "sched/api_state.h"
#include "sched/job_argv.h"
#include "sched/net_supervisor.h"
#include "sched/queue.h"

namespace vrk {
namespace {

inline constexpr uint32_t kRunDefaultTimeout = 86400;
inline constexpr int kArgvErrSize = 256;
inline constexpr int kCancelledBySize = 128;
// Pruning keeps names in fixed slots; the list starts with this many and doubles.
inline constexpr size_t kPruneNameSize = 64;
inline constexpr size_t kPruneFirstCapacity = 64;

// "YYYYMMDDTHHMMSSZ.log": '9' stands for a digit, anything else for itself.
inline constexpr std::string_view kRunIdLogPattern = "99999999T999999Z.log";

struct PruneName {
  char text[kPruneNameSize] = {};
};
static_assert(kRunIdLogPattern.size() < kPruneNameSize);

const char* run_result_word(uint32_t result) {
  switch (result) {
    case kRunDone:
      return "done";
    case kRunBusy:
      return "busy";
    default:
      return "failed";
  }
}

// The job's entry, appended (and the queue saved) when it is missing; nullptr only when the
// entry could not be added at all.
QueueEntry* job_run_entry(QueueState& queue, const JobConfig& job) {
  QueueEntry* e = queue_find(queue, text_view(job.name));
  if (e != nullptr) {
    return e;
  }
  QueueEntry fresh = queue_entry_make(text_view(job.name));
  // Armed like a job the daemon adds: with "never" and no fingerprint, a job first run by hand
  // (before any daemon saw it) would never be scheduled until its schedule was edited.
  fresh.next_run = queue_first_run_time(job, static_cast<int64_t>(time(nullptr)));
  fresh.schedule_fingerprint = job_schedule_fingerprint(job);
  // A failed save is logged by queue_save; the entry is in memory either way and the caller's
  // save writes it again.
  (void)queue_upsert(queue, fresh);
  return queue_find(queue, text_view(job.name));
}

// Writes all of text; a job log that cannot take its header or footer only loses those lines.
void job_run_write_all(int fd, const std::string& text) {
  size_t off = 0;
  while (off < text.size()) {
    ssize_t n = write(fd, text.data() + off, text.size() - off);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;
    }
    off += static_cast<size_t>(n);
  }
}

// Appends printf-style text to out; a failed allocation only shortens the log text.
[[gnu::format(printf, 2, 3)]] void job_run_append(std::string& out, const char* fmt, ...) {
  char buf[kRunCommandSize];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n <= 0) {
    return;
  }
  try {
    out.append(buf, std::min(static_cast<size_t>(n), sizeof buf - 1));
  } catch (const std::bad_alloc&) {
  }
}

void job_run_append_text(std::string& out, std::string_view text) {
  try {
    out.append(text);
  } catch (const std::bad_alloc&) {
  }
}

// The header: job name, the full vector (never cut, unlike the command text), start time.
void job_run_write_header(int fd, const JobConfig& job, const std::vector<const char*>& argv,
                          int count, int64_t start) {
  std::string text;
  job_run_append_text(text, "job: ");
  job_run_append_text(text, text_view(job.name));
  job_run_append_text(text, "\nargv:");
  for (int i = 0; i < count; ++i) {
    job_run_append_text(text, " ");
    job_run_append_text(text, argv[static_cast<size_t>(i)]);
  }
  job_run_append(text, "\nstart_unix: %lld\n\n--- output ---\n", static_cast<long long>(start));
  job_run_write_all(fd, text);
}

void job_run_write_footer(int fd, int64_t finish, int32_t exit_code, uint32_t timed_out,
                          bool cancelled, const char* cancelled_by) {
  std::string text;
  job_run_append(text, "\n--- end ---\nfinish_unix: %lld\nexit_code: %d\ntimed_out: %d\n",
                 static_cast<long long>(finish), exit_code, timed_out != 0 ? 1 : 0);
  if (cancelled) {
    job_run_append(text, "cancelled: 1\ncancelled_by: %s\n", cancelled_by);
  }
  job_run_write_all(fd, text);
}

// The command text: the elements joined by single spaces, cut to the buffer.
void job_run_command_text(char (&out)[kRunCommandSize], const std::vector<const char*>& argv,
                          int count) {
  size_t used = 0;
  out[0] = '\0';
  for (int i = 0; i < count && used < sizeof out - 1; ++i) {
    if (i > 0) {
      out[used++] = ' ';
    }
    std::string_view part(argv[static_cast<size_t>(i)]);
    size_t n = std::min(part.size(), sizeof out - 1 - used);
    memcpy(out + used, part.data(), n);
    used += n;
  }
  out[used] = '\0';
}

// Deletes the oldest job logs of dir so that keep remain. Names are UTC timestamps, so byte
// order is age order. Other files, even ending in ".log", are not runs: counting them could
// make the new run's own log the oldest.
void job_run_prune(const char* dir, uint32_t keep) {
  DIR* d = opendir(dir);
  if (d == nullptr) {
    return;
  }
  std::vector<PruneName> names;
  try {
    names.reserve(kPruneFirstCapacity);
  } catch (const std::bad_alloc&) {
    closedir(d);
    return;
  }
  while (struct dirent* de = readdir(d)) {
    if (!job_log_name_is_run_id(de->d_name)) {
      continue;
    }
    if (names.size() == names.capacity()) {
      try {
        names.reserve(names.capacity() * 2);
      } catch (const std::bad_alloc&) {
        break;
      }
    }
    PruneName n;
    text_copy_cut(n.text, de->d_name);
    names.push_back(n);
  }
  std::sort(names.begin(), names.end(),
            [](const PruneName& a, const PruneName& b) { return strcmp(a.text, b.text) < 0; });
  if (names.size() > keep) {
    size_t drop = names.size() - keep;
    for (size_t i = 0; i < drop; ++i) {
      unlinkat(dirfd(d), names[i].text, 0);
    }
  }
  closedir(d);
}

// Between checks of the child: serve the network process and report a cancel request.
int job_run_idle(void* p) {
  auto* ctx = static_cast<RunContext*>(p);
  if (ctx->net != nullptr) {
    net_pump(*ctx->net);
  }
  if (ctx->stop_signal != nullptr && *ctx->stop_signal != 0) {
    return 1;
  }
  return ctx->api != nullptr && ctx->api->cancel_requested != 0 ? 1 : 0;
}

// The network process's socket, asked before every wait: a message there (a mail result, an API
// request) is served at once. The pump may close or replace the socket, hence no fixed number.
int job_run_wake_fd(void* p) {
  auto* ctx = static_cast<RunContext*>(p);
  return ctx->net != nullptr ? ctx->net->socket : -1;
}

// The footer's cancelled_by text: the API token that asked, or the signal that stopped us.
void job_run_cancelled_by(const RunContext* context, char (&out)[kCancelledBySize]) {
  out[0] = '\0';
  if (context == nullptr) {
    return;
  }
  if (context->stop_signal != nullptr && *context->stop_signal != 0) {
    const char* abbrev = sigabbrev_np(*context->stop_signal);
    snprintf(out, sizeof out, "signal SIG%s", abbrev != nullptr ? abbrev : "?");
  } else if (context->api != nullptr) {
    snprintf(
        out, sizeof out, "API token %s",
        context->api->cancel_requested_by[0] != '\0' ? context->api->cancel_requested_by : "?");
  }
}

}  // namespace

bool job_log_name_is_run_id(std::string_view name) {
  if (name.size() != kRunIdLogPattern.size()) {
    return false;
  }
  for (size_t i = 0; i < name.size(); ++i) {
    const char want = kRunIdLogPattern[i];
    if (want == '9' ? (name[i] < '0' || name[i] > '9') : name[i] != want) {
      return false;
    }
  }
  return true;
}

uint32_t job_run(const JobConfig& job, bool background, QueueState& queue, int& lock_fd,
                 uint32_t timeout, const char* log_dir, uint32_t keep, RunContext* context,
                 RunResult& result) {
  result = RunResult{};
  std::vector<const char*> argv;
  int count = 0;
  char argv_err[kArgvErrSize];
  if (job_build_argv(job, background ? 1 : 0, argv, count, argv_err) != 0) {
    log_msg(kLogError, "vrk_sched: job '%s': cannot build argv: %s", job.name, argv_err);
    int64_t now = clock_unix_now();
    if (QueueEntry* e = job_run_entry(queue, job)) {
      e->state = JobState::kFailed;
      e->exit_code = -1;
      e->last_run = now;
      e->last_finish = now;
      queue_entry_set_pid(*e, 0);
    }
    result.result = kRunFailed;
    result.start = now;
    result.finish = now;
    result.exit_code = -1;
    snprintf(result.command, sizeof result.command, "(cannot build the command line: %s)",
             argv_err);
    return kRunFailed;
  }
  job_run_command_text(result.command, argv, count);

  if (context != nullptr && context->stop_signal != nullptr && *context->stop_signal != 0) {
    const char* abbrev = sigabbrev_np(*context->stop_signal);
    snprintf(result.not_started_why, sizeof result.not_started_why, "interrupted by SIG%s",
             abbrev != nullptr ? abbrev : "?");
    result.result = kRunNotStarted;
    return kRunNotStarted;
  }
  // The program starts only once its RUNNING mark is on disk. A run the file does not show
  // would leave the job due there, so every later pass would start it again, alongside this one.
  const int64_t start = clock_unix_now();
  QueueEntry* mark = job_run_entry(queue, job);
  const QueueEntry before = mark != nullptr ? *mark : QueueEntry{};
  if (mark != nullptr) {
    mark->state = JobState::kRunning;
    mark->last_run = start;
    queue_entry_set_pid(*mark, getpid());
  }
  char why[kQueueSaveWhySize];
  int save_rc = mark != nullptr ? queue_save_why(queue, why) : kErrNoMem;
  if (save_rc != 0) {
    if (mark != nullptr) {
      *mark = before;
    }
    snprintf(result.not_started_why, sizeof result.not_started_why, "cannot save the queue %s: %s",
             queue.path, mark != nullptr ? why : error_text(kErrNoMem));
    result.result = kRunNotStarted;
    return kRunNotStarted;
  }
  queue_unlock(lock_fd);
  lock_fd = -1;
  if (context != nullptr && context->started != nullptr) {
    context->started(context->started_arg);
  }

  char dir[kRunJobLogSize];
  UniqueFd log_fd;
  int n = snprintf(dir, sizeof dir, "%s/%s", log_dir, job.name);
  // A job named "." or ".." would put its logs into the log root or above it, and pruning
  // would then delete other files ending in ".log": such a job runs without a log.
  const bool dot_name = strcmp(job.name, ".") == 0 || strcmp(job.name, "..") == 0;
  if (dot_name || n < 0 || static_cast<size_t>(n) >= sizeof dir || !fs_make_dirs(dir, 0755)) {
    log_msg(kLogWarn, "vrk_sched: cannot create job log dir %s", dir);
  } else {
    char stamp[32];
    time_t t = static_cast<time_t>(start);
    struct tm tm = {};
    if (gmtime_r(&t, &tm) == nullptr || strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm) == 0) {
      stamp[0] = '\0';
    }
    char path[kRunJobLogSize] = "";
    n = snprintf(path, sizeof path, "%s/%s.log", dir, stamp);
    if (n > 0 && static_cast<size_t>(n) < sizeof path) {
      log_fd.reset(open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    }
    if (!log_fd.valid()) {
      log_msg(kLogWarn, "vrk_sched: cannot write job log %s", path);
    } else {
      text_copy_cut(result.job_log, path);
      job_run_write_header(log_fd.get(), job, argv, count, start);
    }
  }

  log_msg(kLogInfo, "vrk_sched: job '%s' starting (%s)", job.name, argv[0]);
  ApiState* api = context != nullptr ? context->api : nullptr;
  if (api != nullptr) {
    text_copy_cut(api->running_job, job.name);
    api->cancel_requested = 0;
    api->cancel_requested_by[0] = '\0';
  }

  SpawnStatus status;
  SpawnWaitOptions wait;
  if (context != nullptr) {
    wait.idle_callback = job_run_idle;
    wait.callback_context = context;
    wait.wake_fd = job_run_wake_fd;
  }
  int spawn_rc = spawn_wait_with(argv.data(), timeout != 0 ? timeout : kRunDefaultTimeout,
                                 log_fd.get(), wait, status);

  const int64_t finish = clock_unix_now();
  char cancelled_by[kCancelledBySize];
  job_run_cancelled_by(context, cancelled_by);
  const bool cancelled = spawn_rc == 0 && status.cancelled != 0;
  if (api != nullptr) {
    api->running_job[0] = '\0';
    api->cancel_requested = 0;
  }

  uint32_t outcome;
  int32_t exit_code = status.exit_code;
  if (spawn_rc != 0) {
    outcome = kRunFailed;
    exit_code = -1;
  } else if (cancelled || status.timed_out != 0) {
    outcome = kRunFailed;
  } else if (exit_code == 0) {
    outcome = kRunDone;
  } else if (exit_code == kBusyExitCode) {
    outcome = kRunBusy;
  } else {
    outcome = kRunFailed;
  }

  if (log_fd.valid()) {
    job_run_write_footer(log_fd.get(), finish, exit_code, status.timed_out, cancelled,
                         cancelled_by[0] != '\0' ? cancelled_by : "API token ?");
    log_fd.reset();
  }
  if (keep != 0 && !dot_name) {
    job_run_prune(dir, keep);
  }
  log_msg(kLogInfo, "vrk_sched: job '%s' finished exit=%d timed_out=%d%s result=%s", job.name,
          exit_code, status.timed_out != 0 ? 1 : 0, cancelled ? " cancelled=1" : "",
          run_result_word(outcome));

  // Other processes may have changed other entries while the lock was free: re-read before
  // writing the end state so that their changes are kept.
  lock_fd = queue_lock(queue.path);
  (void)queue_reload_or_keep(queue);
  if (QueueEntry* e = job_run_entry(queue, job)) {
    e->exit_code = exit_code;
    e->last_run = start;
    e->last_finish = finish;
    e->state = outcome == kRunDone   ? JobState::kDone
               : outcome == kRunBusy ? JobState::kPending
                                     : JobState::kFailed;
    queue_entry_set_pid(*e, 0);
  }
  result.result = outcome;
  result.start = start;
  result.finish = finish;
  result.exit_code = exit_code;
  result.timed_out = status.timed_out != 0 ? 1 : 0;
  return outcome;
}

}  // namespace vrk
