#include "sched/daemon.h"

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>
#include <new>
#include <vector>

#include <openssl/crypto.h>

#include "common/clock.h"
#include "common/digest.h"
#include "common/error.h"
#include "common/localzone.h"
#include "common/log.h"
#include "common/secret_text.h"
#include "common/text.h"
#include "sched/api/handle.h"
#include "sched/api/state.h"
#include "sched/config_load.h"
#include "sched/cron.h"
#include "sched/job_run.h"
#include "sched/net_mail.h"
#include "sched/net_supervisor.h"
#include "sched/notify.h"
#include "sched/queue.h"
#include "sched/queue_sync.h"
#include "sched/settings.h"

namespace vrk {
namespace {

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_reread = 0;

void on_stop_signal(int) {
  g_stop = 1;
}

void on_hangup_signal(int) {
  g_reread = 1;
}

// No SA_RESTART: a wait in progress returns EINTR and the loop sees the flag at once. SIGHUP
// asks for the configuration to be re-read now, as with other long-running daemons.
void install_signal_handlers() {
  struct sigaction sa = {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sa.sa_handler = on_hangup_signal;
  sigaction(SIGHUP, &sa, nullptr);
}

// What tells a changed configuration file: all zero when the file cannot be examined.
struct FileIdentity {
  int64_t mtime_s = 0;
  int64_t mtime_ns = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  bool operator==(const FileIdentity&) const = default;
};

// A changed file is loaded only once it has held still this long: an editor that truncates
// the file before writing it (or "cat > file") can be caught mid-write, and loading that
// half-written text would drop the queue records of every job missing from it.
inline constexpr int64_t kConfigSettleMs = 1000;

FileIdentity file_identity(const char* path) {
  FileIdentity id;
  struct stat st = {};
  if (stat(path, &st) == 0) {
    id.mtime_s = st.st_mtim.tv_sec;
    id.mtime_ns = st.st_mtim.tv_nsec;
    id.inode = st.st_ino;
    id.size = st.st_size;
  }
  return id;
}

uint32_t hand_mail_to_net(void* context, const char* subject, const char* body) {
  return net_send_mail(*static_cast<NetSupervisor*>(context), subject, body);
}

void note_mail_result(void* context, uint32_t mail_id, uint32_t status, const char* text) {
  api_note_mail_result(*static_cast<ApiState*>(context), mail_id, status != 0, text);
}

inline constexpr int kForeignRunSize = 160;

struct Daemon {
  const char* config_path = nullptr;
  const char* queue_path = nullptr;
  uint32_t poll = kDefaultPollInterval;
  uint32_t busy_retry = 0;
  uint32_t job_timeout = 0;
  const char* log_dir = nullptr;
  uint32_t keep = 0;

  SchedConfigPtr config;
  SchedConfigPtr scratch;
  QueueState queue;
  FileIdentity identity;
  char foreign_run[kForeignRunSize] = {};
  // A changed identity not loaded yet, since when it has been seen (monotonic ms), and when to
  // look again (0 = nothing pending).
  FileIdentity pending;
  int64_t pending_since_ms = 0;
  int64_t recheck_at_ms = 0;
  // The last job that could not start because its RUNNING mark could not be saved, with the
  // reason: logged once per change, not once per pass.
  char not_started[kRunWhySize + kJobNameSize] = {};
  // End states that could not be saved: applied again after every re-read of the file until a
  // save works, so that a lost write never makes a finished job due again.
  std::vector<QueueEntry> unsaved;
  uint64_t passes = 0;
  NetSupervisor net;
  ApiState api;
  QueueLock lock;
};

// kSleepBlocked: a run in another process keeps every job, queued API runs too, from starting.
enum class PassEnd { kSleep, kSleepBlocked, kNextPass };

void reload_config(Daemon& d, int64_t now, const FileIdentity& id) {
  char err[kConfigErrSize];
  if (config_load(d.config_path, *d.scratch, err) == 0) {
    // Replaced in place: the API state keeps pointing at the current configuration.
    config_free(*d.config);
    *d.config = *d.scratch;
    // The args tokens now belong to d.config; the scratch copy of the password goes.
    OPENSSL_cleanse(d.scratch->mail.smtp_password, sizeof d.scratch->mail.smtp_password);
    config_reset(*d.scratch);
    log_msg(kLogInfo, "vrk_sched: reloaded %s", d.config_path);
    (void)queue_sync_and_save(d.queue, *d.config, now);
    (void)queue_refresh_and_save(d.queue, *d.config, now);
    net_set_mail(d.net, d.config->mail);
    net_set_api(d.net, d.config->api, api_handle_request, &d.api);
  } else {
    config_free(*d.scratch);
    log_msg(kLogError, "vrk_sched: config reload failed, keeping previous config: %s", err);
    (void)queue_sync_and_save(d.queue, *d.config, now);
  }
  d.identity = id;
}

uint32_t job_timeout_for(const Daemon& d, const JobConfig& job) {
  return job.timeout_seconds != 0 ? job.timeout_seconds : d.job_timeout;
}

// A job that could not start: logged when the job or the reason differs from the last time.
void note_not_started(Daemon& d, const JobConfig& job, const RunResult& result) {
  char what[sizeof d.not_started];
  snprintf(what, sizeof what, "%s\n%s", job.name, result.not_started_why);
  if (strcmp(what, d.not_started) != 0) {
    log_msg(kLogError, "vrk_sched: job '%s' not started: %s", job.name, result.not_started_why);
    text_copy_cut(d.not_started, what);
  }
  d.lock.release();
}

// Saves the queue after a run; an end state that cannot be written is kept to be applied again.
void save_after_run(Daemon& d, const JobConfig& job) {
  d.not_started[0] = '\0';
  if (queue_save(d.queue) == 0) {
    return;
  }
  const QueueEntry* e = queue_find(d.queue, job.name);
  if (e == nullptr) {
    return;
  }
  for (QueueEntry& u : d.unsaved) {
    if (strcmp(u.name, e->name) == 0) {
      u = *e;
      return;
    }
  }
  try {
    d.unsaved.push_back(*e);
  } catch (const std::bad_alloc&) {
  }
}

// After a re-read: puts back the end states that earlier saves lost, and tries to save them.
void apply_unsaved(Daemon& d) {
  if (d.unsaved.empty()) {
    return;
  }
  for (const QueueEntry& u : d.unsaved) {
    if (QueueEntry* e = queue_find(d.queue, u.name)) {
      *e = u;
    }
  }
  if (queue_save(d.queue) == 0) {
    d.unsaved.clear();
  }
}

// The runner's hooks in the daemon: the network process is served while a job runs (at once
// when its socket has something), and the API's cancel request stops the job.
void daemon_idle(void* p) {
  net_pump(static_cast<Daemon*>(p)->net);
}

int daemon_wake_fd(void* p) {
  return static_cast<Daemon*>(p)->net.socket.get();
}

bool daemon_cancel_asked(void* p, char (&by)[kJobLogCancelledBySize]) {
  const ApiState& api = static_cast<Daemon*>(p)->api;
  if (api.cancel_requested == 0) {
    return false;
  }
  snprintf(by, sizeof by, "API token %s",
           api.cancel_requested_by[0] != '\0' ? api.cancel_requested_by : "?");
  return true;
}

// Runs job with the daemon's hooks; the API sees it as the running job meanwhile, and a cancel
// request left from an earlier run does not count.
uint32_t daemon_job_run(Daemon& d, const JobConfig& job, RunResult& result) {
  text_copy_cut(d.api.running_job, job.name);
  d.api.cancel_requested = 0;
  d.api.cancel_requested_by[0] = '\0';
  JobRunSettings run;
  run.timeout = job_timeout_for(d, job);
  run.log_dir = d.log_dir;
  run.keep = d.keep;
  run.hook_context = &d;
  run.idle = daemon_idle;
  run.wake_fd = daemon_wake_fd;
  run.cancel = daemon_cancel_asked;
  uint32_t outcome = job_run(job, run, d.queue, d.lock, result);
  d.api.running_job[0] = '\0';
  d.api.cancel_requested = 0;
  return outcome;
}

// Runs one API-requested job; the queue lock is held on entry and released on return.
void run_api_request(Daemon& d, const char* name, const char* token) {
  const JobConfig* job = config_find_job(*d.config, name);
  if (job == nullptr || queue_find(d.queue, name) == nullptr) {
    log_msg(kLogWarn, "vrk_sched: API run request for job '%s' dropped: no such job (any more)",
            name);
    d.lock.release();
    return;
  }
  if (!api_command_allowed(*d.config, job->command)) {
    log_msg(kLogWarn,
            "vrk_sched: API run request for job '%s' dropped: command not allowed through the API",
            name);
    d.lock.release();
    return;
  }
  log_msg(kLogInfo, "vrk_sched: job '%s' started on request of API token '%s'", name, token);
  RunResult result;
  if (daemon_job_run(d, *job, result) == kRunNotStarted) {
    note_not_started(d, *job, result);
    return;
  }
  save_after_run(d, *job);
  d.lock.release();
  notify_job_result(*d.config, *job, result, &d.net);
}

// Runs one scheduled job and records its next run; lock held on entry, released on return.
// False when the job could not start (its RUNNING mark could not be saved).
bool run_scheduled(Daemon& d, const JobConfig& job, int64_t trigger) {
  RunResult result;
  uint32_t outcome = daemon_job_run(d, job, result);
  if (outcome == kRunNotStarted) {
    note_not_started(d, job, result);
    return false;
  }
  if (QueueEntry* e = queue_find(d.queue, job.name)) {
    queue_entry_schedule_after_run(*e, job, outcome == kRunBusy, clock_unix_now(), d.busy_retry,
                                   trigger);
  }
  save_after_run(d, job);
  d.lock.release();
  notify_job_result(*d.config, job, result, &d.net);
  return true;
}

// Whether a changed file has held still long enough to be loaded: its modification time is
// kConfigSettleMs in the past, or (for a time in the future) the same identity has been seen for
// that long. Otherwise remembers when to look again.
bool config_settled(Daemon& d, const FileIdentity& id) {
  struct timespec wall = {};
  clock_gettime(CLOCK_REALTIME, &wall);
  const int64_t age_ms = (static_cast<int64_t>(wall.tv_sec) - id.mtime_s) * 1000 +
                         (static_cast<int64_t>(wall.tv_nsec) - id.mtime_ns) / 1000000;
  const int64_t mono = clock_monotonic_ms();
  if (!(id == d.pending)) {
    d.pending = id;
    d.pending_since_ms = mono;
  }
  const int64_t held_ms = mono - d.pending_since_ms;
  const int64_t still_ms = age_ms > held_ms ? age_ms : held_ms;
  if (still_ms >= kConfigSettleMs) {
    d.recheck_at_ms = 0;
    return true;
  }
  d.recheck_at_ms = mono + (kConfigSettleMs - still_ms);
  return false;
}

PassEnd run_pass(Daemon& d) {
  // One look-up of the local zone per pass: a changed zone file is followed from here on.
  localzone_refresh();
  d.lock.take(d.queue_path);
  (void)queue_reload_or_keep(d.queue);
  apply_unsaved(d);
  bool changed_by_api = d.api.config_changed != 0;
  d.api.config_changed = 0;
  const bool hangup = g_reread != 0;
  g_reread = 0;
  if (hangup) {
    log_msg(kLogInfo, "vrk_sched: SIGHUP received, re-reading %s", d.config_path);
  }
  FileIdentity id = file_identity(d.config_path);
  int64_t now = static_cast<int64_t>(time(nullptr));
  if (!changed_by_api && !hangup && (id == d.identity || !config_settled(d, id))) {
    (void)queue_sync_and_save(d.queue, *d.config, now);
  } else {
    d.recheck_at_ms = 0;
    reload_config(d, now, id);
  }
  (void)queue_mark_stale(d.queue);

  if (const QueueEntry* live = queue_find_live_running(d.queue)) {
    char run[kForeignRunSize];
    uint32_t pid = queue_entry_pid(*live);
    snprintf(run, sizeof run, "%s/%u", live->name, pid);
    if (strcmp(run, d.foreign_run) != 0) {
      log_msg(kLogInfo,
              "vrk_sched: job '%s' is running in another process (pid %u) -- no job is started "
              "before it ends",
              live->name, pid);
      text_copy_cut(d.foreign_run, run);
    }
    d.lock.release();
    return PassEnd::kSleepBlocked;
  }
  d.foreign_run[0] = '\0';
  if (++d.passes > d.config->job_count + 1) {
    log_msg(kLogError,
            "vrk_sched: safety guard tripped in the dispatch loop (should be impossible, cycles "
            "are rejected at load time)");
    d.lock.release();
    return PassEnd::kSleep;
  }

  char job_name[kJobNameSize];
  char token[kApiTokenNameSize];
  if (api_queue_pop(d.api, job_name, token)) {
    run_api_request(d, job_name, token);
    d.passes = 0;
    return PassEnd::kNextPass;
  }

  for (uint64_t i = 0; i < d.config->job_count; ++i) {
    const JobConfig& job = d.config->jobs[i];
    int64_t trigger = 0;
    if (job_is_due(d.queue, job, static_cast<int64_t>(time(nullptr)), trigger) &&
        queue_find(d.queue, job.name) != nullptr) {
      return run_scheduled(d, job, trigger) ? PassEnd::kNextPass : PassEnd::kSleep;
    }
  }
  d.lock.release();
  return PassEnd::kSleep;
}

// Waits up to the poll interval in steps of at most a second, serving the network process;
// ends early for a stop, SIGHUP, API work, or a changed configuration file due for a look.
void sleep_between_passes(Daemon& d, bool run_blocked) {
  const int64_t end = clock_monotonic_ms() + static_cast<int64_t>(d.poll) * 1000;
  for (;;) {
    if (g_stop || g_reread || daemon_sleep_ends_early(d.api, run_blocked)) {
      return;
    }
    const int64_t now = clock_monotonic_ms();
    int64_t until = end;
    if (d.recheck_at_ms != 0 && d.recheck_at_ms < until) {
      until = d.recheck_at_ms;
    }
    if (now >= until) {
      return;
    }
    net_wait(d.net, static_cast<int>(until - now < 1000 ? until - now : 1000));
  }
}

}  // namespace

bool daemon_sleep_ends_early(const ApiState& api, bool run_blocked) {
  // A queued run cannot start while another process runs a job: waking for it would spin
  // through passes without ever pumping the network process.
  return (api.run_queue_count > 0 && !run_blocked) || api.config_changed != 0;
}

bool job_is_due(const QueueState& queue, const JobConfig& job, int64_t now, int64_t& trigger) {
  trigger = 0;
  const QueueEntry* entry = queue_find(queue, job.name);
  if (!job.enabled || entry == nullptr || entry->state == JobState::kRunning) {
    return false;
  }
  if ((job.has_schedule || job.has_once) && entry->next_run > now) {
    return false;
  }
  if (job.after_count == 0) {
    return true;
  }
  int64_t latest = 0;
  for (int i = 0; i < job.after_count; ++i) {
    const QueueEntry* dep = queue_find(queue, job.after[i]);
    if (dep == nullptr) {
      return false;
    }
    bool finished = dep->state == JobState::kDone ||
                    (job.after_mode == kAfterModeFinished && dep->state == JobState::kFailed);
    if (!finished) {
      return false;
    }
    if (dep->last_finish > latest) {
      latest = dep->last_finish;
    }
  }
  trigger = latest;
  return entry->dependency_mark < latest;
}

namespace {

// A configuration that cmd_daemon has loaded already for its [sched] values, with the file's
// identity from before that load: a change made meanwhile is then still seen as one.
struct LoadedConfig {
  SchedConfigPtr config;
  FileIdentity identity;
};

// daemon_run with the configuration in loaded; when that holds none, the file is loaded here,
// once the queue is open and its stale entries are marked.
int daemon_run_loaded(const char* config_path, const char* queue_path, uint32_t poll,
                      uint32_t busy_retry, uint32_t job_timeout, const char* log_dir, uint32_t keep,
                      LoadedConfig loaded) {
  const bool preloaded = loaded.config != nullptr;
  auto d = std::unique_ptr<Daemon>(new (std::nothrow) Daemon);
  if (!d) {
    if (preloaded) {
      config_free(*loaded.config);
    }
    return kErrNoMem;
  }
  if (preloaded) {
    d->config = std::move(loaded.config);
  } else {
    d->config = config_new();
  }
  d->scratch = config_new();
  if (!d->config || !d->scratch) {
    if (d->config) {
      config_free(*d->config);
    }
    return kErrNoMem;
  }
  d->config_path = config_path;
  d->queue_path = queue_path;
  d->busy_retry = busy_retry;
  d->job_timeout = job_timeout;
  d->log_dir = log_dir;
  d->keep = keep;
  g_stop = 0;
  g_reread = 0;
  install_signal_handlers();
  // vrk_sched loads libcrypto on first use (crypto_on_demand.cc). The daemon uses it for every
  // API request: one digest now makes a library that cannot be loaded stop it here, not later.
  uint8_t digest[32];
  sha256("", 0, digest);

  d->lock.take(queue_path);
  int rc = queue_open(d->queue, queue_path);
  if (rc != 0) {
    d->lock.release();
    config_free(*d->config);
    return rc;
  }
  (void)queue_mark_stale(d->queue);
  if (preloaded) {
    d->identity = loaded.identity;
  } else {
    char err[kConfigErrSize];
    if (config_load(config_path, *d->config, err) != 0) {
      log_msg(kLogError, "vrk_sched: cannot load %s: %s", config_path, err);
      d->lock.release();
      config_free(*d->config);
      queue_free(d->queue);
      return kErrInvalid;
    }
    d->identity = file_identity(config_path);
  }
  int64_t now = static_cast<int64_t>(time(nullptr));
  (void)queue_sync_and_save(d->queue, *d->config, now);
  (void)queue_refresh_and_save(d->queue, *d->config, now);
  d->lock.release();
  log_msg(kLogInfo, "vrk_sched daemon started: config=%s queue=%s poll-interval=%us", config_path,
          queue_path, poll);

  net_init(d->net);
  api_state_init(d->api, config_path, queue_path, log_dir, d->config.get(), &d->queue);
  d->api.mail_hand_over = hand_mail_to_net;
  d->api.mail_context = &d->net;
  d->net.mail_result_hook = note_mail_result;
  d->net.mail_result_context = &d->api;
  net_set_mail(d->net, d->config->mail);
  net_set_api(d->net, d->config->api, api_handle_request, &d->api);
  d->poll = poll != 0 ? poll : kDefaultPollInterval;

  while (!g_stop) {
    d->passes = 0;
    PassEnd end = PassEnd::kSleep;
    while (!g_stop && (end = run_pass(*d)) == PassEnd::kNextPass) {
    }
    sleep_between_passes(*d, end == PassEnd::kSleepBlocked);
  }
  log_msg(kLogInfo, "vrk_sched daemon stopping (signal received)");
  net_shutdown(d->net);
  secret_wipe(d->api.tokens);
  config_free(*d->config);
  config_free(*d->scratch);
  queue_free(d->queue);
  return 0;
}

}  // namespace

int daemon_run(const char* config_path, const char* queue_path, uint32_t poll, uint32_t busy_retry,
               uint32_t job_timeout, const char* log_dir, uint32_t keep) {
  return daemon_run_loaded(config_path, queue_path, poll, busy_retry, job_timeout, log_dir, keep,
                           LoadedConfig{});
}

int cmd_daemon(const char* config_path, const char* queue_path, int argc, char** argv) {
  SchedConfigPtr cfg = config_new();
  if (!cfg) {
    fprintf(stderr, "error: out of memory\n");
    return 1;
  }
  const FileIdentity identity = file_identity(config_path);
  char err[kConfigErrSize];
  if (config_load(config_path, *cfg, err) != 0) {
    config_free(*cfg);
    fprintf(stderr, "error: %s\n", err);
    return 2;
  }
  SchedSettings s;
  if (sched_settings_resolve(argc, argv, *cfg, s, err) != 0) {
    config_free(*cfg);
    fprintf(stderr, "error: %s\n", err);
    return 2;
  }
  // The daemon goes on with this configuration instead of reading the file a second time.
  int rc = daemon_run_loaded(config_path, queue_path, s.poll_interval, s.busy_retry_seconds,
                             s.job_timeout_seconds, s.job_log_dir, s.job_log_keep,
                             LoadedConfig{std::move(cfg), identity});
  if (rc != 0) {
    log_msg(kLogError, "vrk_sched daemon exited with %s (status=%d)", error_text(rc), rc);
    return 1;
  }
  return 0;
}

}  // namespace vrk
