#include "sched/api/info.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "common/clock.h"
#include "common/scope_exit.h"
#include "common/version.h"
#include "sched/api/config_snapshot.h"
#include "sched/api/jobs.h"
#include "sched/api/state.h"
#include "sched/api/tokens.h"
#include "sched/config.h"
#include "sched/config_load.h"

namespace vrk {
namespace {

constexpr int kHostSize = 256;

// The limits a client needs, as the network process and the handlers apply them.
constexpr int64_t kMaxBodyBytes = 32768;
constexpr int64_t kLogChunkMax = 49152;

}  // namespace

void api_get_info(ApiCall& call) {
  const ApiState& state = *call.state;
  ConfigSnapshot snapshot;
  ScopeExit release([&] { config_snapshot_release(snapshot); });
  char err[kConfigApiErrSize];
  if (config_snapshot_read(state, snapshot, err) != 0) {
    api_error(call, ApiErrorCode::kConfigUnreadable, "%s", err);
    return;
  }
  char host[kHostSize] = {};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') {
    snprintf(host, sizeof host, "localhost");
  }
  const ApiSettings& api = state.config->api;
  JsonWriter& w = call.writer;
  json_begin_object(w);
  json_put_int(w, "api_version", 1);
  json_put_text(w, "server", "vrk_sched");
  json_put_text(w, "version", kVersion);
  json_put_text(w, "build", kBuild);
  json_put_text(w, "host", host);
  json_put_int(w, "time", clock_unix_now());
  json_put_int(w, "daemon_started", state.daemon_started);
  json_key(w, "running_job");
  json_string_or_null(w, state.running_job);
  json_key(w, "run_queue");
  json_begin_array(w);
  for (uint64_t i = 0; i < state.run_queue_count && i < kApiRunQueueMax; ++i) {
    json_string(w, state.run_queue[i].job, strlen(state.run_queue[i].job), 0);
  }
  json_end_array(w);
  json_put_text(w, "config_etag", snapshot.etag);
  json_key(w, "token");
  json_begin_object(w);
  json_put_text(w, "name", call.token_name);
  json_put_text(w, "role", role_name(call.role));
  json_end_object(w);
  json_key(w, "policy");
  json_begin_object(w);
  json_put_bool(w, "allow_config_write", api.allow_config_write != 0);
  json_put_bool(w, "allow_args", api.allow_args != 0);
  json_key(w, "allowed_commands");
  json_begin_array(w);
  for (int c = 0; c < kCommandCount; ++c) {
    if (api_command_allowed(*state.config, static_cast<CommandKind>(c))) {
      json_string(w, command_keyword(c), strlen(command_keyword(c)), 0);
    }
  }
  json_end_array(w);
  json_end_object(w);
  json_key(w, "commands");
  json_begin_array(w);
  for (int c = 0; c < kCommandCount; ++c) {
    json_begin_object(w);
    json_put_text(w, "name", command_keyword(c));
    json_put_bool(w, "profile", command_takes_profile(c));
    json_put_bool(w, "retention", command_takes_retention(c));
    json_end_object(w);
  }
  json_end_array(w);
  json_key(w, "limits");
  json_begin_object(w);
  json_put_int(w, "max_body_bytes", kMaxBodyBytes);
  json_put_int(w, "jobs_page_max", kApiJobsPageMax);
  json_put_int(w, "log_chunk_max", kLogChunkMax);
  json_put_int(w, "timestamp_window_seconds", kApiTimestampWindow);
  json_end_object(w);
  json_put_bool(w, "mail_configured", snapshot.config->mail.enabled != 0);
  json_end_object(w);
  api_finish(call, 200);
}

}  // namespace vrk
