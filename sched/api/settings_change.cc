#include "sched/api/settings_change.h"

#include <stdio.h>
#include <string.h>

#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include <openssl/crypto.h>

#include "common/mail_address.h"
#include "common/scope_exit.h"
#include "common/secret_text.h"
#include "common/text.h"
#include "sched/api/apply_change.h"
#include "sched/api/config_snapshot.h"
#include "sched/api/settings.h"
#include "sched/api/state.h"
#include "sched/config_keys.h"
#include "sched/config_load.h"
#include "sched/ini_edit.h"

namespace vrk {
namespace {

constexpr int kSectionValuesMax = 16;
constexpr size_t kSectionValueSize = 1100;  // a value holds at most 1099 bytes
constexpr size_t kMailPasswordSize = 100;

constexpr const char* kMailFields =
    "smtp_host smtp_port tls smtp_user smtp_password from to ca_file timeout_seconds notify";
constexpr const char* kSchedFields =
    "poll_interval busy_retry_seconds job_timeout_seconds job_log_keep";

// The (key, value) list a section shall hold, in writing order. It may hold a password: wipe it
// with secret_wipe.
struct SectionValues {
  const char* keys[kSectionValuesMax] = {};
  char values[kSectionValuesMax][kSectionValueSize] = {};
  int count = 0;
};
static_assert(std::is_trivially_copyable_v<SectionValues>);

// False when the list is full or the value does not fit; the list is then unchanged.
bool section_values_add(SectionValues& sv, const char* key, std::string_view value) {
  if (sv.count == kSectionValuesMax || !text_copy(sv.values[sv.count], value)) {
    return false;
  }
  sv.keys[sv.count++] = key;
  return true;
}

bool section_values_add_int(SectionValues& sv, const char* key, int64_t value) {
  char text[24];
  snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
  return section_values_add(sv, key, text);
}

// ini_set_section of section with exactly sv's pairs; false when it refuses.
bool section_values_apply(std::string_view text, const char* section, const SectionValues& sv,
                          std::string& out) {
  SettingPair pairs[kSectionValuesMax];
  for (int i = 0; i < sv.count; ++i) {
    pairs[i] = {sv.keys[i], std::string_view(sv.values[i])};
  }
  return ini_set_section(text, section, std::span<const SettingPair>(pairs, sv.count), out) == 0;
}

void wipe_string(std::string& s) {
  if (!s.empty()) {
    OPENSSL_cleanse(s.data(), s.size());
  }
  std::string().swap(s);
}

JsonValue* member_of(JsonValue* object, std::string_view name) {
  if (json_type_of(object) != JsonType::kObject) {
    return nullptr;
  }
  for (size_t i = 0; i < object->keys.size() && i < object->items.size(); ++i) {
    if (object->keys[i] == name) {
      return object->items[i];
    }
  }
  return nullptr;
}

// The parsed body holds a copy of a password sent in it; json_value_free does not wipe, so the
// member's text is wiped here before the document is freed.
void wipe_member_text(JsonValue* object, std::string_view name) {
  JsonValue* value = member_of(object, name);
  if (value != nullptr) {
    wipe_string(value->text);
  }
}

void cannot_write(ApiCall& call) {
  api_error(call, ApiErrorCode::kInvalidValue, "cannot write the values");
}

// The password: given (never a file: or kms: reference), removed by null, or kept as the file
// has it when absent. False with the error response set.
bool mail_add_password(ApiCall& call, const JsonValue* mail, std::string_view file_text,
                       SectionValues& sv) {
  const JsonValue* given = json_object_find(mail, "smtp_password");
  if (given == nullptr) {
    // Kept as written, so a file: reference stays a reference.
    char raw[kConfigLineSize];
    ScopeExit wipe_raw([&] { OPENSSL_cleanse(raw, sizeof raw); });
    if (ini_get_value(file_text, "mail", "smtp-password", raw) &&
        !section_values_add(sv, "smtp-password", raw)) {
      cannot_write(call);
      return false;
    }
    return true;
  }
  if (json_type_of(given) == JsonType::kNull) {
    return true;
  }
  char password[kMailPasswordSize];
  ScopeExit wipe_password([&] { OPENSSL_cleanse(password, sizeof password); });
  if (api_get_text(call, mail, "smtp_password", password) != 0) {
    return false;
  }
  if (strncmp(password, "file:", 5) == 0 || strncmp(password, "kms:", 4) == 0) {
    api_error(call, ApiErrorCode::kForbidden,
              "smtp_password references (file:, kms:) can only be set on the server itself");
    return false;
  }
  if (!section_values_add(sv, "smtp-password", password)) {
    cannot_write(call);
    return false;
  }
  return true;
}

// "to": 1..16 plain addresses, written joined with ",".
bool mail_add_recipients(ApiCall& call, const JsonValue* mail, SectionValues& sv) {
  const JsonValue* to = json_object_find(mail, "to");
  const size_t n = json_array_length(to);
  if (json_type_of(to) != JsonType::kArray || n < 1 || n > kApiMailRecipientsMax) {
    api_error(call, ApiErrorCode::kInvalidValue, "'to' must be an array of 1..%d addresses",
              static_cast<int>(kApiMailRecipientsMax));
    return false;
  }
  std::string joined;
  for (size_t i = 0; i < n; ++i) {
    const JsonValue* item = json_array_item(to, i);
    if (json_type_of(item) != JsonType::kString || !mail_address_valid(item->text)) {
      api_error(call, ApiErrorCode::kInvalidValue,
                "'to' entries must be plain addresses like admin@example.org");
      return false;
    }
    if (i > 0) {
      joined += ',';
    }
    joined += item->text;
  }
  if (!section_values_add(sv, "to", joined)) {
    cannot_write(call);
    return false;
  }
  return true;
}

// The new text of a mail update, or false with the error response set.
bool mail_section_from_body(ApiCall& call, JsonValue* mail, const ConfigSnapshot& snapshot,
                            std::string& new_text) {
  if (api_check_fields(call, mail, kMailFields) != 0) {
    return false;
  }
  char smtp_host[256];
  char smtp_user[256];
  char from[256];
  char ca_file[512];
  char tls[16];
  char notify[16];
  int64_t smtp_port = -1;
  int64_t timeout_seconds = -1;
  if (api_get_text(call, mail, "smtp_host", smtp_host) != 0 ||
      api_get_text(call, mail, "smtp_user", smtp_user) != 0 ||
      api_get_text(call, mail, "from", from) != 0 ||
      api_get_text(call, mail, "ca_file", ca_file) != 0 ||
      api_get_text(call, mail, "tls", tls) != 0 ||
      api_get_text(call, mail, "notify", notify) != 0 ||
      api_get_int(call, mail, "smtp_port", 65535, smtp_port) != 0 ||
      api_get_int(call, mail, "timeout_seconds", 3600, timeout_seconds) != 0) {
    return false;
  }
  if (smtp_host[0] == '\0' || from[0] == '\0') {
    api_error(call, ApiErrorCode::kInvalidValue, "'smtp_host', 'from' and 'to' are required");
    return false;
  }
  SectionValues sv;
  ScopeExit wipe_values([&] { secret_wipe(sv); });
  // Ten keys at most, all far below the value size: these adds cannot fail.
  (void)section_values_add(sv, "smtp-host", smtp_host);
  if (smtp_port > 0) {
    (void)section_values_add_int(sv, "smtp-port", smtp_port);
  }
  if (tls[0] != '\0') {
    (void)section_values_add(sv, "tls", tls);
  }
  if (smtp_user[0] != '\0') {
    (void)section_values_add(sv, "smtp-user", smtp_user);
  }
  if (!mail_add_password(call, mail, snapshot.text, sv)) {
    return false;
  }
  (void)section_values_add(sv, "from", from);
  if (!mail_add_recipients(call, mail, sv)) {
    return false;
  }
  if (ca_file[0] != '\0') {
    (void)section_values_add(sv, "ca-file", ca_file);
  }
  if (timeout_seconds > 0) {
    (void)section_values_add_int(sv, "timeout-seconds", timeout_seconds);
  }
  if (notify[0] != '\0' && strcmp(notify, "inherit") != 0) {
    (void)section_values_add(sv, "notify", notify);
  }
  if (!section_values_apply(snapshot.text, "mail", sv, new_text)) {
    cannot_write(call);
    return false;
  }
  return true;
}

}  // namespace

void api_put_mail(ApiCall& call) {
  if (!api_change_permitted(call)) {
    return;
  }
  JsonValue* root = api_parse_body(call);
  if (root == nullptr) {
    return;
  }
  JsonValue* mail = member_of(root, "mail");
  ScopeExit free_root([&] {
    wipe_member_text(mail, "smtp_password");
    json_value_free(root);
  });
  if (api_check_fields(call, root, "mail") != 0) {
    return;
  }
  const JsonType type = json_type_of(mail);
  if (mail == nullptr || (type != JsonType::kObject && type != JsonType::kNull)) {
    api_error(call, ApiErrorCode::kInvalidValue,
              "body must be {\"mail\": {...}} or {\"mail\": null}");
    return;
  }
  ConfigSnapshot snapshot;
  ScopeExit release([&] { config_snapshot_release(snapshot); });
  if (!api_snapshot_read(call, snapshot) || !api_if_match_current(call, snapshot)) {
    return;
  }
  std::string new_text;
  ScopeExit wipe_new([&] { wipe_string(new_text); });
  const char* description = "updated [mail]";
  if (type == JsonType::kNull) {
    if (!ini_has_section(snapshot.text, "mail")) {
      api_error(call, ApiErrorCode::kNotFound, "there is no [mail] section");
      return;
    }
    if (ini_remove_section(snapshot.text, "mail", new_text) != 0) {
      cannot_write(call);
      return;
    }
    description = "removed [mail]";
  } else if (!mail_section_from_body(call, mail, snapshot, new_text)) {
    return;
  }
  if (api_apply_change(call, snapshot, new_text, description) != 0) {
    return;
  }
  wipe_string(new_text);
  config_snapshot_release(snapshot);
  api_get_mail(call);
}

void api_put_sched(ApiCall& call) {
  if (!api_change_permitted(call)) {
    return;
  }
  JsonValue* root = api_parse_body(call);
  if (root == nullptr) {
    return;
  }
  ScopeExit free_root([&] { json_value_free(root); });
  if (api_check_fields(call, root, "sched") != 0) {
    return;
  }
  const JsonValue* sched = json_object_find(root, "sched");
  if (json_type_of(sched) != JsonType::kObject) {
    api_error(call, ApiErrorCode::kInvalidValue, "body must be {\"sched\": {...}}");
    return;
  }
  // Checked before the field list, so that it answers read_only rather than unknown_field.
  if (json_object_find(sched, "job_log_dir") != nullptr) {
    api_error(call, ApiErrorCode::kReadOnly, "job_log_dir cannot be changed through the API");
    return;
  }
  if (api_check_fields(call, sched, kSchedFields) != 0) {
    return;
  }
  struct Field {
    const char* name;
    const char* key;
    int64_t value;
  };
  Field fields[] = {
      {"poll_interval", "poll-interval", -1},
      {"busy_retry_seconds", "busy-retry-seconds", -1},
      {"job_timeout_seconds", "job-timeout-seconds", -1},
      {"job_log_keep", "job-log-keep", -1},
  };
  for (Field& f : fields) {
    if (api_get_int(call, sched, f.name, kApiSchedValueMax, f.value) != 0) {
      return;
    }
  }
  ConfigSnapshot snapshot;
  ScopeExit release([&] { config_snapshot_release(snapshot); });
  if (!api_snapshot_read(call, snapshot) || !api_if_match_current(call, snapshot)) {
    return;
  }
  SectionValues sv;
  // 0 and null leave the key out, so the built-in default or the command line applies.
  for (const Field& f : fields) {
    if (f.value > 0) {
      (void)section_values_add_int(sv, f.key, f.value);
    }
  }
  char job_log_dir[kConfigLineSize];
  if (ini_get_value(snapshot.text, "sched", "job-log-dir", job_log_dir) &&
      !section_values_add(sv, "job-log-dir", job_log_dir)) {
    cannot_write(call);
    return;
  }
  std::string new_text;
  ScopeExit wipe_new([&] { wipe_string(new_text); });
  if (!section_values_apply(snapshot.text, "sched", sv, new_text)) {
    cannot_write(call);
    return;
  }
  if (api_apply_change(call, snapshot, new_text, "updated [sched]") != 0) {
    return;
  }
  wipe_string(new_text);
  config_snapshot_release(snapshot);
  api_get_sched(call);
}

}  // namespace vrk
