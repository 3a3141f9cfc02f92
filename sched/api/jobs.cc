#include "sched/api/jobs.h"

#include <string.h>

#include <string_view>

#include "common/scope_exit.h"
#include "common/text.h"
#include "sched/api/config_snapshot.h"
#include "sched/api/queue_view.h"
#include "sched/api/router.h"
#include "sched/api/state.h"
#include "sched/config_load.h"

namespace vrk {
namespace {

void put_text_or_null(JsonWriter& w, const char* key, const char* value) {
  json_key(w, key);
  json_string_or_null(w, value);
}

// Stored times between 1 and 2^63 - 2; 0 (never) and 2^63 - 1 (never again) are null.
void put_time(JsonWriter& w, const char* key, int64_t value) {
  json_key(w, key);
  if (value >= 1 && value <= kQueueNever - 1) {
    json_int(w, value);
  } else {
    json_null(w);
  }
}

void put_tristate(JsonWriter& w, const char* key, int32_t value) {
  json_key(w, key);
  if (value < 0) {
    json_null(w);
  } else {
    json_bool(w, value);
  }
}

const char* notify_name(int32_t notify) {
  switch (notify) {
    case kNotifyNever:
      return "never";
    case kNotifyFailed:
      return "failed";
    case kNotifyAlways:
      return "always";
    default:
      return "inherit";
  }
}

const char* status_name(JobState state) {
  switch (state) {
    case JobState::kPending:
    case JobState::kRunning:
    case JobState::kDone:
    case JobState::kFailed:
    case JobState::kDisabled:
      return queue_state_name(state);
  }
  return "UNKNOWN";
}

bool run_requested(const ApiState& state, const char* name) {
  for (uint64_t i = 0; i < state.run_queue_count && i < kApiRunQueueMax; ++i) {
    if (strcmp(state.run_queue[i].job, name) == 0) {
      return true;
    }
  }
  return false;
}

void write_state(ApiCall& call, const JobConfig& job, const QueueEntry& entry) {
  JsonWriter& w = call.writer;
  const ApiState* state = call.state;
  const bool running = entry.state == JobState::kRunning ||
                       (state != nullptr && strcmp(state->running_job, job.name) == 0);
  json_begin_object(w);
  json_put_text(w, "status", running ? "RUNNING" : status_name(entry.state));
  put_time(w, "next_run", entry.next_run);
  put_time(w, "last_run", entry.last_run);
  put_time(w, "last_finish", entry.last_finish);
  json_key(w, "last_exit_code");
  if (running || entry.last_run < 1) {
    json_null(w);
  } else {
    json_int(w, entry.exit_code);
  }
  json_key(w, "run_requested");
  json_bool(w, state != nullptr && run_requested(*state, job.name));
  json_end_object(w);
}

// The job object of api_write_job with the job's queue entry already looked up (or nullptr).
void write_job(ApiCall& call, const JobConfig& job, const QueueEntry* entry) {
  JsonWriter& w = call.writer;
  json_begin_object(w);
  json_put_text(w, "name", job.name);
  json_put_text(w, "command", command_keyword(static_cast<int>(job.command)));
  put_text_or_null(w, "profile", job.profile);
  put_text_or_null(w, "args", job.args_text);
  put_text_or_null(w, "schedule", job.schedule_text);
  put_text_or_null(w, "once", job.once_text);
  json_key(w, "once_unix");
  if (job.has_once != 0) {
    json_int(w, job.once_time);
  } else {
    json_null(w);
  }
  json_key(w, "after");
  json_begin_array(w);
  for (int32_t i = 0; i < job.after_count && i < kMaxAfter; ++i) {
    json_string(w, job.after[i], text_len(job.after[i]), 0);
  }
  json_end_array(w);
  put_text_or_null(w, "after_mode",
                   job.after_mode_given == 0              ? ""
                   : job.after_mode == kAfterModeFinished ? "finished"
                                                          : "success");
  json_key(w, "enabled");
  json_bool(w, job.enabled != 0);
  json_key(w, "timeout_seconds");
  json_int(w, job.timeout_seconds);
  json_put_text(w, "notify", notify_name(job.notify));
  put_tristate(w, "run_background", job.run_background);
  put_tristate(w, "start_background", job.start_background);
  put_text_or_null(w, "retention", job.retention);
  put_text_or_null(w, "retention_class", job.retention_class);
  json_key(w, "api_allowed");
  json_bool(w, call.state != nullptr && call.state->config != nullptr &&
                   api_command_allowed(*call.state->config, job.command));
  json_key(w, "state");
  if (entry == nullptr) {
    json_null(w);
  } else {
    write_state(call, job, *entry);
  }
  json_end_object(w);
}

}  // namespace

void api_write_job(ApiCall& call, const JobConfig& job, const QueueState* view) {
  write_job(call, job, view != nullptr ? queue_find(*view, text_view(job.name)) : nullptr);
}

void api_list_jobs(ApiCall& call) {
  int64_t offset = 0;
  int64_t limit = kApiJobsPageMax;
  if (!api_query_parse(text_view(call.request->query), "limit", offset, limit)) {
    api_error(call, ApiErrorCode::kBadQuery, "allowed query parameters: offset, limit (digits)");
    return;
  }
  if (limit < 1 || limit > kApiJobsPageMax) {
    api_error(call, ApiErrorCode::kBadQuery, "limit must be 1..%d",
              static_cast<int>(kApiJobsPageMax));
    return;
  }
  ConfigSnapshot snapshot;
  ScopeExit release([&] { config_snapshot_release(snapshot); });
  char err[kConfigApiErrSize];
  if (config_snapshot_read(*call.state, snapshot, err) != 0) {
    api_error(call, ApiErrorCode::kConfigUnreadable, "%s", err);
    return;
  }
  QueueState view;
  ScopeExit free_view([&] { queue_free(view); });
  if (queue_view_build(*call.state, *snapshot.config, view) != 0) {
    api_error(call, ApiErrorCode::kInternal, "out of memory");
    return;
  }
  QueueIndex index;
  if (queue_index_build(view, 0, index) != 0) {
    api_error(call, ApiErrorCode::kInternal, "out of memory");
    return;
  }
  const SchedConfig& cfg = *snapshot.config;
  const uint64_t total = cfg.job_count < kMaxJobs ? cfg.job_count : kMaxJobs;
  JsonWriter& w = call.writer;
  json_begin_object(w);
  json_put_text(w, "config_etag", snapshot.etag);
  json_key(w, "total");
  json_int(w, static_cast<int64_t>(total));
  json_key(w, "offset");
  json_int(w, offset);
  json_key(w, "jobs");
  json_begin_array(w);
  uint64_t next = static_cast<uint64_t>(offset);
  int64_t count = 0;
  while (next < total && count < limit) {
    const JsonWriter before = w;
    const int64_t at = queue_index_find(view, index, text_view(cfg.jobs[next].name));
    write_job(call, cfg.jobs[next], at < 0 ? nullptr : &view.entries[static_cast<size_t>(at)]);
    const bool full = w.overflow != 0 || w.capacity - w.length < kApiJobsPageReserve;
    if (full && count > 0) {
      // Taken out again: the page ends before it, and the client asks for it next.
      w = before;
      w.buffer[w.length] = '\0';
      break;
    }
    ++count;
    ++next;
    if (full) {
      break;
    }
  }
  json_end_array(w);
  json_key(w, "next_offset");
  if (next < total) {
    json_int(w, static_cast<int64_t>(next));
  } else {
    json_null(w);
  }
  json_end_object(w);
  api_finish(call, 200);
}

void api_get_job(ApiCall& call, const char* name) {
  ConfigSnapshot snapshot;
  ScopeExit release([&] { config_snapshot_release(snapshot); });
  char err[kConfigApiErrSize];
  if (config_snapshot_read(*call.state, snapshot, err) != 0) {
    api_error(call, ApiErrorCode::kConfigUnreadable, "%s", err);
    return;
  }
  const JobConfig* job = config_find_job(*snapshot.config, name);
  if (job == nullptr) {
    api_error(call, ApiErrorCode::kNotFound, "no job named '%s'", name);
    return;
  }
  QueueState view;
  ScopeExit free_view([&] { queue_free(view); });
  if (queue_view_build(*call.state, *snapshot.config, view) != 0) {
    api_error(call, ApiErrorCode::kInternal, "out of memory");
    return;
  }
  JsonWriter& w = call.writer;
  json_begin_object(w);
  json_put_text(w, "config_etag", snapshot.etag);
  json_key(w, "job");
  api_write_job(call, *job, &view);
  json_end_object(w);
  api_finish(call, 200);
}

}  // namespace vrk
