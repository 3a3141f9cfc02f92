#include "sched/api/job_change.h"

#include <stdio.h>
#include <string.h>

#include <string_view>

#include <openssl/crypto.h>

#include "common/error.h"
#include "common/scope_exit.h"
#include "common/text.h"
#include "sched/api/apply_change.h"
#include "sched/api/jobs.h"
#include "sched/api/queue_view.h"
#include "sched/api/state.h"
#include "sched/config_load.h"
#include "sched/config_write.h"
#include "sched/ini_edit.h"
#include "sched/values.h"

namespace vrk {
namespace {

constexpr size_t kCommandSize = 64;
constexpr size_t kAfterModeSize = 16;
constexpr size_t kNotifySize = 16;
constexpr size_t kDescriptionSize = 320;  // "updated job '<255 bytes>'"
constexpr size_t kValidateNameSize = 128;
constexpr int kSectionValuesMax = 16;

// The text members of a job body, each empty when not given.
struct JobBody {
  char command[kCommandSize] = {};
  char profile[kProfileSize] = {};
  char args[kArgsTextSize] = {};
  char schedule[kScheduleTextSize] = {};
  char once[kOnceTextSize] = {};
  char after_mode[kAfterModeSize] = {};
  char notify[kNotifySize] = {};
  char retention[kRetentionSize] = {};
  char retention_class[kRetentionSize] = {};
  int enabled = -1;  // -1 not given, else 0 or 1
  int run_background = -1;
  int start_background = -1;
  int64_t timeout_seconds = -1;
  std::string after;  // the names joined with ","; empty when not given
  int command_kind = -1;
};

bool reserved_name(std::string_view name) {
  return name == "sched" || name == "mail" || name == "api";
}

bool name_char(char c, bool first) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
    return true;
  }
  return !first && (c == '.' || c == '_' || c == '-');
}

// [A-Za-z0-9][A-Za-z0-9._-]{0,63}, and no settings section's name.
bool creatable_name(std::string_view name) {
  if (name.empty() || name.size() > kApiJobNameMax || reserved_name(name)) {
    return false;
  }
  for (size_t i = 0; i < name.size(); ++i) {
    if (!name_char(name[i], i == 0)) {
      return false;
    }
  }
  return true;
}

bool policy_allows(const ApiCall& call, int command) {
  const SchedConfig* loaded = call.state->config;
  return loaded != nullptr && command >= 0 &&
         api_command_allowed(*loaded, static_cast<CommandKind>(command));
}

bool policy_allows_args(const ApiCall& call) {
  return call.state->config != nullptr && call.state->config->api.allow_args != 0;
}

// A boolean member; -1 in flag when absent or null.
bool get_bool(const JsonValue* body, const char* name, int& flag) {
  flag = -1;
  const JsonValue* v = json_object_find(body, name);
  if (v == nullptr || json_type_of(v) == JsonType::kNull) {
    return true;
  }
  return json_as_bool(v, flag) != 0;
}

bool get_after(ApiCall& call, const JsonValue* body, std::string& joined) {
  joined.clear();
  const JsonValue* v = json_object_find(body, "after");
  if (v == nullptr || json_type_of(v) == JsonType::kNull) {
    return true;
  }
  if (json_type_of(v) != JsonType::kArray || json_array_length(v) > kMaxAfter) {
    api_error(call, ApiErrorCode::kInvalidValue, "'after' must be an array of at most %d job names",
              kMaxAfter);
    return false;
  }
  for (size_t i = 0; i < json_array_length(v); ++i) {
    const JsonValue* item = json_array_item(v, i);
    const char* text = json_as_string(item);
    std::string_view name = text != nullptr ? std::string_view(item->text) : std::string_view();
    if (text == nullptr || !ini_value_writable(name) || name.size() > kApiAfterNameMax ||
        name.find(',') != std::string_view::npos) {
      api_error(call, ApiErrorCode::kInvalidValue, "'after' entries must be job names");
      return false;
    }
    if (i > 0) {
      joined += ',';
    }
    joined += name;
  }
  return true;
}

// The members in their checking order; the first refusal answers.
bool read_body(ApiCall& call, const JsonValue* body, JobBody& b) {
  if (api_get_text(call, body, "command", b.command) != 0) {
    return false;
  }
  if (b.command[0] == '\0') {
    api_error(call, ApiErrorCode::kInvalidValue, "'command' is required");
    return false;
  }
  b.command_kind = command_from_keyword(b.command);
  if (b.command_kind < 0) {
    api_error(call, ApiErrorCode::kInvalidValue, "unknown command '%s'", b.command);
    return false;
  }
  if (api_get_text(call, body, "profile", b.profile) != 0 ||
      api_get_text(call, body, "args", b.args) != 0 ||
      api_get_text(call, body, "schedule", b.schedule) != 0 ||
      api_get_text(call, body, "once", b.once) != 0 ||
      api_get_text(call, body, "after_mode", b.after_mode) != 0) {
    return false;
  }
  std::string_view mode = b.after_mode;
  if (!mode.empty() && mode != "success" && mode != "finished") {
    api_error(call, ApiErrorCode::kInvalidValue,
              "'after_mode' must be \"success\", \"finished\" or null");
    return false;
  }
  if (api_get_text(call, body, "notify", b.notify) != 0) {
    return false;
  }
  std::string_view notify = b.notify;
  if (!notify.empty() && notify != "inherit" && notify != "never" && notify != "failed" &&
      notify != "always") {
    api_error(call, ApiErrorCode::kInvalidValue,
              "'notify' must be inherit, never, failed or always");
    return false;
  }
  if (api_get_text(call, body, "retention", b.retention) != 0) {
    return false;
  }
  if (b.retention[0] != '\0' && retention_parse(b.retention, nullptr) != 0) {
    api_error(call, ApiErrorCode::kInvalidValue,
              "'retention' must be <n>d, <n>w, <n>m, <n>y (n >= 1, at most 100 years), "
              "\"forever\" or null");
    return false;
  }
  if (api_get_text(call, body, "retention_class", b.retention_class) != 0) {
    return false;
  }
  if (!retention_class_valid(b.retention_class)) {
    api_error(call, ApiErrorCode::kInvalidValue,
              "'retention_class' may only contain a-z, 0-9, '_' and '-'");
    return false;
  }
  if (!get_bool(body, "enabled", b.enabled)) {
    api_error(call, ApiErrorCode::kInvalidValue, "'enabled' must be true or false");
    return false;
  }
  for (const char* name : {"run_background", "start_background"}) {
    int& flag = strcmp(name, "run_background") == 0 ? b.run_background : b.start_background;
    if (!get_bool(body, name, flag)) {
      api_error(call, ApiErrorCode::kInvalidValue, "'%s' must be true, false or null", name);
      return false;
    }
  }
  if (api_get_int(call, body, "timeout_seconds", kApiJobTimeoutMax, b.timeout_seconds) != 0) {
    return false;
  }
  return get_after(call, body, b.after);
}

// The [api] policy for a new job (name, command, args) or a replacement (both commands, args
// unchanged).
bool policy_check(ApiCall& call, const JobConfig* present, const char* name, const JobBody& b) {
  if (present == nullptr && !creatable_name(name)) {
    api_error(call, ApiErrorCode::kInvalidName,
              "job names created through the API must match [A-Za-z0-9][A-Za-z0-9._-]{0,63} and "
              "must not be sched, mail or api");
    return false;
  }
  if (!policy_allows(call, b.command_kind)) {
    api_error(call, ApiErrorCode::kCommandNotAllowed,
              "command '%s' may not be used through the API ([api] allowed-commands)", b.command);
    return false;
  }
  if (present != nullptr && !policy_allows(call, static_cast<int>(present->command))) {
    api_error(call, ApiErrorCode::kCommandNotAllowed,
              "job '%s' has command '%s', which the API may not change ([api] allowed-commands)",
              name, command_keyword(static_cast<int>(present->command)));
    return false;
  }
  const char* present_args = present != nullptr ? present->args_text : "";
  if (!policy_allows_args(call) && strcmp(b.args, present_args) != 0) {
    api_error(call, ApiErrorCode::kArgsNotAllowed,
              "'args' may not be set or changed through the API ([api] allow-args=no)");
    return false;
  }
  return true;
}

// Moves the error body the call holds into {"valid":false,"result":<it>} with status 200.
void embed_refusal(ApiCall& call) {
  std::string_view error(call.writer.buffer, call.writer.length);
  // The error body is at most about 1.2 KB; the answer is rebuilt in place behind a prefix.
  constexpr std::string_view kPrefix = "{\"valid\":false,\"result\":";
  JsonWriter& w = call.writer;
  if (kPrefix.size() + error.size() + 2 > w.capacity) {
    w.overflow = 1;
    api_finish(call, 200);
    return;
  }
  memmove(w.buffer + kPrefix.size(), error.data(), error.size());
  memcpy(w.buffer, kPrefix.data(), kPrefix.size());
  w.length = kPrefix.size() + error.size();
  w.buffer[w.length++] = '}';
  w.buffer[w.length] = '\0';
  api_finish(call, 200);
}

void put_etag(JsonWriter& w, const char* etag) {
  json_key(w, "config_etag");
  json_string_or_null(w, etag);
}

}  // namespace

int job_section_from_body(ApiCall& call, const ConfigSnapshot& snapshot, const char* name,
                          const JsonValue* body, std::string& out, bool& created) {
  out.clear();
  created = false;
  JobBody b;
  if (!read_body(call, body, b)) {
    return -1;
  }
  if (reserved_name(name) && ini_has_section(snapshot.text, name)) {
    api_error(call, ApiErrorCode::kInvalidName, "'%s' is not a job", name);
    return -1;
  }
  const JobConfig* present = config_find_job(*snapshot.config, name);
  if (!policy_check(call, present, name, b)) {
    return -1;
  }
  char timeout[24];
  snprintf(timeout, sizeof timeout, "%lld", static_cast<long long>(b.timeout_seconds));
  SettingPair pairs[kSectionValuesMax];
  int count = 0;
  auto add = [&](std::string_view key, std::string_view value) {
    pairs[count++] = SettingPair{key, value};
  };
  auto add_text = [&](std::string_view key, std::string_view value) {
    if (!value.empty()) {
      add(key, value);
    }
  };
  add("command", b.command);
  add_text("profile", b.profile);
  add_text("args", b.args);
  add_text("schedule", b.schedule);
  add_text("once", b.once);
  add_text("after", b.after);
  add_text("after-mode", b.after_mode);
  if (b.enabled == 0) {
    add("enabled", "no");
  }
  if (b.timeout_seconds > 0) {
    add("timeout-seconds", timeout);
  }
  if (b.notify[0] != '\0' && strcmp(b.notify, "inherit") != 0) {
    add("notify", b.notify);
  }
  if (b.run_background >= 0) {
    add("run-background", b.run_background != 0 ? "yes" : "no");
  }
  if (b.start_background >= 0) {
    add("start-background", b.start_background != 0 ? "yes" : "no");
  }
  add_text("retention", b.retention);
  add_text("retention-class", b.retention_class);
  int rc = ini_set_section(snapshot.text, name, std::span<const SettingPair>(pairs, count), out);
  if (rc == kErrNoMem) {
    api_error(call, ApiErrorCode::kInternal, "out of memory");
    return -1;
  }
  if (rc != 0) {
    api_error(call, ApiErrorCode::kInvalidValue,
              "a value cannot be written to the configuration file");
    return -1;
  }
  created = present == nullptr;
  return 0;
}

void api_put_job(ApiCall& call, const char* name) {
  if (!api_change_permitted(call)) {
    return;
  }
  JsonValue* body = api_parse_body(call);
  if (body == nullptr) {
    return;
  }
  ScopeExit free_body([&] { json_value_free(body); });
  if (api_check_fields(call, body, kApiJobFields) != 0) {
    return;
  }
  ConfigSnapshot snapshot;
  ScopeExit release([&] { config_snapshot_release(snapshot); });
  if (!api_snapshot_read(call, snapshot) || !api_if_match_current(call, snapshot)) {
    return;
  }
  std::string text;
  ScopeExit wipe_text([&] { OPENSSL_cleanse(text.data(), text.size()); });
  bool created = false;
  if (job_section_from_body(call, snapshot, name, body, text, created) != 0) {
    return;
  }
  char description[kDescriptionSize];
  snprintf(description, sizeof description, "%s job '%s'", created ? "created" : "updated", name);
  if (api_apply_change(call, snapshot, text, description) != 0) {
    return;
  }
  config_snapshot_release(snapshot);
  if (!api_snapshot_read(call, snapshot)) {
    return;
  }
  QueueState view;
  ScopeExit free_view([&] { queue_free(view); });
  const bool have_view = queue_view_build(*call.state, *snapshot.config, view) == 0;
  const JobConfig* job = config_find_job(*snapshot.config, name);
  JsonWriter& w = call.writer;
  json_begin_object(w);
  put_etag(w, snapshot.etag);
  json_key(w, "created");
  json_bool(w, created);
  json_key(w, "job");
  if (job == nullptr) {
    json_null(w);
  } else {
    api_write_job(call, *job, have_view ? &view : nullptr);
  }
  json_end_object(w);
  api_finish(call, created ? 201 : 200);
}

void api_delete_job(ApiCall& call, const char* name) {
  if (!api_change_permitted(call)) {
    return;
  }
  if (call.request->body_length != 0) {
    api_error(call, ApiErrorCode::kBadRequest, "DELETE takes no body");
    return;
  }
  ConfigSnapshot snapshot;
  ScopeExit release([&] { config_snapshot_release(snapshot); });
  if (!api_snapshot_read(call, snapshot)) {
    return;
  }
  const SchedConfig& cfg = *snapshot.config;
  if (reserved_name(name) || config_find_job(cfg, name) == nullptr) {
    api_error(call, ApiErrorCode::kNotFound, "no job named '%s'", name);
    return;
  }
  if (!api_if_match_current(call, snapshot)) {
    return;
  }
  if (strcmp(call.state->running_job, name) == 0) {
    api_error(call, ApiErrorCode::kJobRunning, "job '%s' is running", name);
    return;
  }
  for (uint64_t i = 0; i < cfg.job_count && i < kMaxJobs; ++i) {
    const JobConfig& other = cfg.jobs[i];
    if (strcmp(other.name, name) == 0) {
      continue;
    }
    for (int32_t k = 0; k < other.after_count && k < kMaxAfter; ++k) {
      if (strcmp(other.after[k], name) == 0) {
        api_error(call, ApiErrorCode::kJobReferenced, "job '%s' is named in 'after' of job '%s'",
                  name, other.name);
        return;
      }
    }
  }
  std::string text;
  ScopeExit wipe_text([&] { OPENSSL_cleanse(text.data(), text.size()); });
  if (ini_remove_section(snapshot.text, name, text) != 0) {
    api_error(call, ApiErrorCode::kInternal, "out of memory");
    return;
  }
  char description[kDescriptionSize];
  snprintf(description, sizeof description, "deleted job '%s'", name);
  if (api_apply_change(call, snapshot, text, description) != 0) {
    return;
  }
  api_queue_remove(*call.state, name);
  std::string now;
  char etag[kConfigEtagSize] = {};
  if (config_read_with_etag(call.state->config_path, now, etag) != 0) {
    etag[0] = '\0';
  }
  OPENSSL_cleanse(now.data(), now.size());
  JsonWriter& w = call.writer;
  json_begin_object(w);
  put_etag(w, etag);
  json_end_object(w);
  api_finish(call, 200);
}

void api_validate_job(ApiCall& call) {
  JsonValue* body = api_parse_body(call);
  if (body == nullptr) {
    return;
  }
  ScopeExit free_body([&] { json_value_free(body); });
  if (api_check_fields(call, body, kApiValidateJobFields) != 0) {
    return;
  }
  const JsonValue* name_value = json_object_find(body, "name");
  const char* name = json_as_string(name_value);
  std::string_view name_text = name != nullptr ? std::string_view(name_value->text) : "";
  if (name == nullptr || !ini_value_writable(name_text) || name_text.size() >= kValidateNameSize ||
      name_text.find_first_of("[]/") != std::string_view::npos) {
    api_error(call, ApiErrorCode::kInvalidValue, "'name' (string) is required");
    return;
  }
  ConfigSnapshot snapshot;
  ScopeExit release([&] { config_snapshot_release(snapshot); });
  if (!api_snapshot_read(call, snapshot)) {
    return;
  }
  std::string text;
  ScopeExit wipe_text([&] { OPENSSL_cleanse(text.data(), text.size()); });
  bool created = false;
  if (job_section_from_body(call, snapshot, name, body, text, created) != 0) {
    const uint32_t status = call.response->status;
    if (status == 400 || status == 403) {
      embed_refusal(call);
    }
    return;
  }
  char err[kConfigApiErrSize];
  int rc = config_write(call.state->config_path, text, call.state->history_dir, 0, true, err);
  JsonWriter& w = call.writer;
  json_begin_object(w);
  json_key(w, "valid");
  json_bool(w, rc == 0);
  json_key(w, "result");
  if (rc == 0) {
    json_null(w);
  } else {
    json_begin_object(w);
    json_key(w, "error");
    json_begin_object(w);
    json_key(w, "code");
    const char* code = rc == kConfigWriteInvalid ? "config_invalid" : "internal";
    json_string(w, code, strlen(code), 0);
    json_key(w, "message");
    json_string(w, err, strlen(err), 0);
    json_end_object(w);
    json_end_object(w);
  }
  json_end_object(w);
  api_finish(call, 200);
}

}  // namespace vrk
