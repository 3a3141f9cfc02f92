#include "sched/api/state.h"

#include <stdio.h>
#include <string.h>

#include "common/clock.h"
#include "common/secret_text.h"
#include "common/text.h"

namespace vrk {

void api_state_init(ApiState& state, const char* config_path, const char* queue_path,
                    const char* job_log_dir, const SchedConfig* config, QueueState* queue) {
  secret_wipe(state);
  text_copy_cut(state.config_path, config_path);
  const char* slash = strrchr(queue_path, '/');
  if (slash == nullptr) {
    snprintf(state.history_dir, sizeof state.history_dir, "./cfg-history");
  } else {
    snprintf(state.history_dir, sizeof state.history_dir, "%.*s/cfg-history",
             static_cast<int>(slash - queue_path), queue_path);
  }
  text_copy_cut(state.job_log_dir, job_log_dir);
  state.config = config;
  state.queue = queue;
  state.daemon_started = clock_unix_now();
}

bool api_command_allowed(const SchedConfig& config, CommandKind command) {
  uint32_t bit = static_cast<uint32_t>(command);
  return bit < static_cast<uint32_t>(kCommandCount) && (config.api.allowed_commands >> bit) & 1u;
}

bool api_queue_pop(ApiState& state, char (&job)[kJobNameSize], char (&token)[kApiTokenNameSize]) {
  if (state.run_queue_count == 0) {
    return false;
  }
  text_copy_cut(job, state.run_queue[0].job);
  text_copy_cut(token, state.run_queue[0].token);
  for (uint64_t i = 1; i < state.run_queue_count; ++i) {
    state.run_queue[i - 1] = state.run_queue[i];
  }
  --state.run_queue_count;
  state.run_queue[state.run_queue_count] = ApiRunRequest{};
  return true;
}

bool api_queue_remove(ApiState& state, const char* job) {
  const uint64_t count =
      state.run_queue_count < kApiRunQueueMax ? state.run_queue_count : kApiRunQueueMax;
  for (uint64_t i = 0; i < count; ++i) {
    if (strcmp(state.run_queue[i].job, job) != 0) {
      continue;
    }
    for (uint64_t k = i + 1; k < count; ++k) {
      state.run_queue[k - 1] = state.run_queue[k];
    }
    state.run_queue_count = count - 1;
    state.run_queue[count - 1] = ApiRunRequest{};
    return true;
  }
  return false;
}

void api_note_mail_result(ApiState& state, uint32_t mail_id, bool failed, const char* error) {
  for (ApiTestMail& slot : state.test_mails) {
    if (slot.mail_id != mail_id || mail_id == 0) {
      continue;
    }
    slot.state = failed ? kTestMailFailed : kTestMailSent;
    text_copy_cut(slot.error, failed && error ? error : "");
  }
}

}  // namespace vrk
