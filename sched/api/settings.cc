#include "sched/api/settings.h"

#include <string.h>

#include <openssl/crypto.h>

#include "common/scope_exit.h"
#include "common/text.h"
#include "sched/api/apply_change.h"
#include "sched/api/config_snapshot.h"
#include "sched/config_keys.h"
#include "sched/config_load.h"
#include "sched/ini_edit.h"

namespace vrk {
namespace {

// 0 means "not set in the file": the built-in default or the command line applies.
void put_count_or_null(JsonWriter& w, const char* key, uint32_t value) {
  json_key(w, key);
  if (value == 0) {
    json_null(w);
  } else {
    json_int(w, value);
  }
}

const char* tls_name(uint32_t mode) {
  switch (mode) {
    case kMailTlsNone:
      return "none";
    case kMailTlsSmtps:
      return "smtps";
    default:
      return "starttls";
  }
}

const char* mail_notify_name(uint32_t notify) {
  switch (notify) {
    case kNotifyFailed:
      return "failed";
    case kNotifyAlways:
      return "always";
    default:
      return "never";
  }
}

}  // namespace

void api_get_sched(ApiCall& call) {
  ConfigSnapshot snapshot;
  ScopeExit release([&] { config_snapshot_release(snapshot); });
  if (!api_snapshot_read(call, snapshot)) {
    return;
  }
  const SchedConfig& cfg = *snapshot.config;
  JsonWriter& w = call.writer;
  json_begin_object(w);
  json_put_text(w, "config_etag", snapshot.etag);
  json_key(w, "sched");
  json_begin_object(w);
  put_count_or_null(w, "poll_interval", cfg.poll_interval);
  put_count_or_null(w, "busy_retry_seconds", cfg.busy_retry_seconds);
  put_count_or_null(w, "job_timeout_seconds", cfg.job_timeout_seconds);
  put_count_or_null(w, "job_log_keep", cfg.job_log_keep);
  json_key(w, "job_log_dir");
  json_string_or_null(w, cfg.job_log_dir);
  json_end_object(w);
  json_end_object(w);
  api_finish(call, 200);
}

void api_get_mail(ApiCall& call) {
  ConfigSnapshot snapshot;
  ScopeExit release([&] { config_snapshot_release(snapshot); });
  if (!api_snapshot_read(call, snapshot)) {
    return;
  }
  const SchedConfig& cfg = *snapshot.config;
  const MailSettings& mail = cfg.mail;
  JsonWriter& w = call.writer;
  json_begin_object(w);
  json_put_text(w, "config_etag", snapshot.etag);
  json_key(w, "mail");
  if (mail.enabled == 0) {
    json_null(w);
    json_end_object(w);
    api_finish(call, 200);
    return;
  }
  // The value as written (a literal password or a file: reference), only looked at: a line
  // holds at most kConfigLineSize - 1 bytes, so every value fits.
  char raw[kConfigLineSize];
  ScopeExit wipe_raw([&] { OPENSSL_cleanse(raw, sizeof raw); });
  const bool password_set = ini_get_value(snapshot.text, "mail", "smtp-password", raw);
  const bool password_file = password_set && strncmp(raw, "file:", 5) == 0;
  json_begin_object(w);
  json_put_text(w, "smtp_host", mail.smtp_host);
  json_key(w, "smtp_port");
  json_int(w, mail.smtp_port);
  json_put_text(w, "tls", tls_name(mail.tls_mode));
  json_key(w, "smtp_user");
  json_string_or_null(w, mail.smtp_user);
  json_key(w, "smtp_password_set");
  json_bool(w, password_set);
  json_key(w, "smtp_password_source");
  if (!password_set) {
    json_null(w);
  } else {
    json_string(w, password_file ? "file" : "literal", password_file ? 4 : 7, 0);
  }
  json_put_text(w, "from", mail.from);
  json_key(w, "to");
  json_begin_array(w);
  for (int32_t i = 0; i < mail.recipient_count && i < kMailMaxRecipients; ++i) {
    json_string(w, mail.recipients[i], text_len(mail.recipients[i]), 0);
  }
  json_end_array(w);
  json_key(w, "ca_file");
  json_string_or_null(w, mail.ca_file);
  json_key(w, "timeout_seconds");
  json_int(w, mail.timeout_seconds);
  json_put_text(w, "notify", mail_notify_name(cfg.mail_notify_default));
  json_end_object(w);
  json_end_object(w);
  api_finish(call, 200);
}

}  // namespace vrk
