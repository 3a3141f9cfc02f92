#include "sched/api/info.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <span>
#include <string>

#include "common/clock.h"
#include "common/digest.h"
#include "common/error.h"
#include "common/fd.h"
#include "common/version.h"
#include "sched/api/state.h"
#include "sched/api/tokens.h"
#include "sched/config.h"
#include "sched/config_load.h"

namespace vrk {
namespace {

constexpr size_t kConfigFileMax = 1048576;
constexpr int kSnapshotAttempts = 3;
constexpr int kEtagSize = 67;  // '"', 64 hex digits, '"'
constexpr int kHostSize = 256;

// The limits a client needs, as the network process and the handlers apply them.
constexpr int64_t kMaxBodyBytes = 32768;
constexpr int64_t kJobsPageMax = 50;
constexpr int64_t kLogChunkMax = 49152;

// The file's bytes (at most 1 MiB, no NUL byte) and its ETag; false when it cannot be read.
bool read_with_etag(const char* path, std::string& text, char (&etag)[kEtagSize]) {
  UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    return false;
  }
  text.clear();
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return false;
    }
    if (n == 0) {
      break;
    }
    if (text.size() + static_cast<size_t>(n) > kConfigFileMax ||
        memchr(buf, '\0', static_cast<size_t>(n)) != nullptr) {
      return false;
    }
    text.append(buf, static_cast<size_t>(n));
  }
  uint8_t digest[32];
  char hex[65];
  sha256(text.data(), text.size(), digest);
  sha256_hex(digest, hex);
  snprintf(etag, sizeof etag, "\"%s\"", hex);
  return true;
}

// A consistent read of the configuration file: its ETag, and whether it has a [mail] section.
// Read, parsed and read again until two reads agree, at most three times. 0, or -1 with err.
int read_snapshot(const char* path, char (&etag)[kEtagSize], bool& mail_configured,
                  std::span<char> err) {
  SchedConfigPtr cfg = config_new();
  if (!cfg) {
    err_set(err, "out of memory");
    return -1;
  }
  std::string text;
  std::string again;
  char again_etag[kEtagSize];
  for (int attempt = 0; attempt < kSnapshotAttempts; ++attempt) {
    if (!read_with_etag(path, text, etag)) {
      err_set(err, "cannot read %s", path);
      return -1;
    }
    int rc = config_load_text(text, path, *cfg, err);
    mail_configured = cfg->mail.enabled != 0;
    config_free(*cfg);
    if (rc != 0) {
      return -1;
    }
    if (!read_with_etag(path, again, again_etag)) {
      err_set(err, "cannot read %s", path);
      return -1;
    }
    if (strcmp(etag, again_etag) == 0) {
      return 0;
    }
  }
  err_set(err, "%s keeps changing", path);
  return -1;
}

void put_text(JsonWriter& w, const char* key, const char* value) {
  json_key(w, key);
  json_string(w, value, strlen(value), 0);
}

void put_int(JsonWriter& w, const char* key, int64_t value) {
  json_key(w, key);
  json_int(w, value);
}

void put_bool(JsonWriter& w, const char* key, bool value) {
  json_key(w, key);
  json_bool(w, value);
}

}  // namespace

void api_route(ApiCall& call) {
  const ApiRequest& request = *call.request;
  if (strcmp(request.method, "GET") == 0 && request.body_length != 0) {
    api_error(call, ApiErrorCode::kBadRequest, "GET takes no body");
    return;
  }
  if (strcmp(request.path, "/api/v1/info") != 0) {
    api_error(call, ApiErrorCode::kNotFound, "unknown path");
    return;
  }
  if (strcmp(request.method, "GET") != 0) {
    api_error(call, ApiErrorCode::kMethodNotAllowed, "method %s not allowed here", request.method);
    return;
  }
  if (request.query[0] != '\0') {
    api_error(call, ApiErrorCode::kBadQuery, "this resource takes no query parameters");
    return;
  }
  api_get_info(call);
}

void api_get_info(ApiCall& call) {
  const ApiState& state = *call.state;
  char etag[kEtagSize];
  bool mail_configured = false;
  char err[kConfigApiErrSize];
  if (read_snapshot(state.config_path, etag, mail_configured, err) != 0) {
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
  put_int(w, "api_version", 1);
  put_text(w, "server", "vrk_sched");
  put_text(w, "version", kVersion);
  put_text(w, "build", kBuild);
  put_text(w, "host", host);
  put_int(w, "time", clock_unix_now());
  put_int(w, "daemon_started", state.daemon_started);
  json_key(w, "running_job");
  json_string_or_null(w, state.running_job);
  json_key(w, "run_queue");
  json_begin_array(w);
  for (uint64_t i = 0; i < state.run_queue_count && i < kApiRunQueueMax; ++i) {
    json_string(w, state.run_queue[i].job, strlen(state.run_queue[i].job), 0);
  }
  json_end_array(w);
  put_text(w, "config_etag", etag);
  json_key(w, "token");
  json_begin_object(w);
  put_text(w, "name", call.token_name);
  put_text(w, "role", role_name(call.role));
  json_end_object(w);
  json_key(w, "policy");
  json_begin_object(w);
  put_bool(w, "allow_config_write", api.allow_config_write != 0);
  put_bool(w, "allow_args", api.allow_args != 0);
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
    put_text(w, "name", command_keyword(c));
    put_bool(w, "profile", command_takes_profile(c));
    put_bool(w, "retention", command_takes_retention(c));
    json_end_object(w);
  }
  json_end_array(w);
  json_key(w, "limits");
  json_begin_object(w);
  put_int(w, "max_body_bytes", kMaxBodyBytes);
  put_int(w, "jobs_page_max", kJobsPageMax);
  put_int(w, "log_chunk_max", kLogChunkMax);
  put_int(w, "timestamp_window_seconds", kApiTimestampWindow);
  json_end_object(w);
  put_bool(w, "mail_configured", mail_configured);
  json_end_object(w);
  api_finish(call, 200);
}

}  // namespace vrk
