#include "sched/api/apply_change.h"

#include <stdio.h>
#include <string.h>

#include <memory>
#include <new>

#include "common/log.h"
#include "sched/api/config_diff.h"
#include "sched/api/state.h"
#include "sched/config_load.h"
#include "sched/notify.h"

namespace vrk {
namespace {

// Best effort: a notice that cannot be composed or handed over is lost silently.
void send_notice(const ApiCall& call, const ConfigSnapshot& old_snapshot, std::string_view new_text,
                 const char* description) {
  const ApiState& state = *call.state;
  char host[kNotifyHostSize];
  notify_host_name(host);
  char subject[kApiNoticeSubjectSize];
  snprintf(subject, sizeof subject, "[arvenna] %s: vrk_sched configuration changed via API (%s)",
           host, description);
  std::unique_ptr<char[]> diff(new (std::nothrow) char[kConfigDiffSize]);
  std::unique_ptr<char[]> body(new (std::nothrow) char[kApiNoticeBodySize]);
  if (!diff || !body) {
    return;
  }
  config_diff_lines(std::string_view(old_snapshot.text.data(), old_snapshot.length), new_text,
                    std::span<char>(diff.get(), kConfigDiffSize));
  snprintf(body.get(), kApiNoticeBodySize,
           "The vrk_sched configuration on %s was changed through the API.\n\n"
           "Change:  %s\nToken:   %s\nClient:  %s\nFile:    %s\nHistory: %s\n\n"
           "--- changed lines ---\n%s",
           host, description, call.token_name, call.request->client_address, state.config_path,
           state.history_dir, diff.get());
  (void)state.mail_hand_over(state.mail_context, subject, body.get());
}

}  // namespace

bool api_change_permitted(ApiCall& call) {
  if (call.role != TokenRole::kAdmin) {
    api_error(call, ApiErrorCode::kForbidden, "this needs an admin token");
    return false;
  }
  const SchedConfig* loaded = call.state->config;
  if (loaded == nullptr || loaded->api.allow_config_write == 0) {
    api_error(call, ApiErrorCode::kConfigWriteDisabled,
              "configuration changes through the API are disabled ([api] "
              "allow-config-write=no)");
    return false;
  }
  return true;
}

bool api_snapshot_read(ApiCall& call, ConfigSnapshot& snapshot) {
  char err[kConfigApiErrSize];
  if (config_snapshot_read(*call.state, snapshot, err) != 0) {
    api_error(call, ApiErrorCode::kConfigUnreadable, "%s", err);
    return false;
  }
  return true;
}

// The client must have seen exactly the file the change is made to (quotes included).
bool api_if_match_current(ApiCall& call, const ConfigSnapshot& snapshot) {
  const char* if_match = call.request->if_match;
  if (if_match[0] == '\0') {
    api_error(call, ApiErrorCode::kPreconditionRequired,
              "If-Match with the current config_etag is required for changes");
    return false;
  }
  if (strcmp(if_match, snapshot.etag) != 0) {
    api_error(call, ApiErrorCode::kPreconditionFailed,
              "the configuration was changed in the meantime: reload it and retry");
    return false;
  }
  return true;
}

int api_apply_change(ApiCall& call, const ConfigSnapshot& old_snapshot, std::string_view new_text,
                     const char* description) {
  ApiState& state = *call.state;
  const SchedConfig* loaded = state.config;
  const uint32_t keep = loaded != nullptr ? loaded->api.history_keep : 0;
  char err[kConfigApiErrSize];
  // The If-Match check was made on the snapshot; a hand edit since then must not be replaced.
  int rc = config_write_if_unchanged(state.config_path, new_text, old_snapshot.etag,
                                     state.history_dir, keep, false, err);
  if (rc == kConfigWriteChanged) {
    api_error(call, ApiErrorCode::kPreconditionFailed,
              "the configuration was changed in the meantime: reload it and retry");
    return -1;
  }
  if (rc == kConfigWriteInvalid) {
    api_error(call, ApiErrorCode::kConfigInvalid, "%s", err);
    return -1;
  }
  if (rc != 0) {
    log_msg(kLogError, "vrk_sched API: %s", err);
    api_error(call, ApiErrorCode::kInternal, "%s", err);
    return -1;
  }
  state.config_changed = 1;
  log_msg(kLogInfo, "vrk_sched API: token '%s' from %s changed %s: %s", call.token_name,
          call.request->client_address, state.config_path, description);
  if (loaded != nullptr && loaded->api.notify_changes != 0 && loaded->mail.enabled != 0 &&
      state.mail_hand_over != nullptr) {
    send_notice(call, old_snapshot, new_text, description);
  }
  return 0;
}

}  // namespace vrk
