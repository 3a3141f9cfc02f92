// ApiState: the daemon's API state, shared on the daemon's one thread by the main loop, the job
// runner and the API handlers: the run queue, the running job and its cancel request, the
// configuration-changed flag, the mail hand-over, the loaded API tokens with the stamp of their
// file, the nonce cache of signed requests and the test-mail ring. It holds token secrets:
// api_state_init wipes the old contents.
#pragma once

#include <stdint.h>

#include <type_traits>

#include "sched/api/auth.h"
#include "sched/api/tokens.h"
#include "sched/config.h"

namespace vrk {

struct QueueState;

inline constexpr int kApiRunQueueMax = 32;
inline constexpr int kApiTokenNameSize = 65;
inline constexpr int kApiHistoryDirSize = 1100;
inline constexpr int kApiConfigPathSize = 1024;
inline constexpr int kApiTestMailSlots = 16;
inline constexpr int kApiTestMailErrorSize = 256;

inline constexpr uint32_t kTestMailPending = 0;
inline constexpr uint32_t kTestMailSent = 1;
inline constexpr uint32_t kTestMailFailed = 2;

// token_file_state
inline constexpr int32_t kTokenFileNeverLoaded = 0;
inline constexpr int32_t kTokenFileLoaded = 1;
inline constexpr int32_t kTokenFileFailed = -1;

// Hands (subject, body) to the network process; the mail id, or 0 on failure.
using ApiMailHandOver = uint32_t (*)(void* context, const char* subject, const char* body);

struct ApiRunRequest {
  char job[kJobNameSize] = {};
  char token[kApiTokenNameSize] = {};
};

struct ApiTestMail {
  uint32_t mail_id = 0;
  uint32_t state = kTestMailPending;
  char error[kApiTestMailErrorSize] = {};
};

struct ApiState {
  char config_path[kApiConfigPathSize] = {};
  char history_dir[kApiHistoryDirSize] = {};
  char job_log_dir[kJobLogDirSize] = {};
  const SchedConfig* config = nullptr;
  QueueState* queue = nullptr;
  int64_t daemon_started = 0;
  ApiMailHandOver mail_hand_over = nullptr;
  void* mail_context = nullptr;
  char running_job[kJobNameSize] = {};
  uint32_t cancel_requested = 0;
  char cancel_requested_by[kApiTokenNameSize] = {};
  ApiRunRequest run_queue[kApiRunQueueMax] = {};
  uint64_t run_queue_count = 0;
  uint32_t config_changed = 0;
  TokenTable tokens = {};
  int32_t token_file_state = kTokenFileNeverLoaded;
  TokenFileStamp token_file_stamp = {};  // all zero: the file could not be looked at
  char token_file_path[kApiPathSize] = {};
  ApiNonceCache nonce_cache = {};
  ApiTestMail test_mails[kApiTestMailSlots] = {};
  uint32_t test_mail_next = 0;
};
static_assert(std::is_trivially_copyable_v<ApiState>);

// Wipes state (token secrets included) and fills paths, references and the start time; the history
// directory is
// "<directory of queue_path>/cfg-history" ("." when queue_path has no '/').
void api_state_init(ApiState& state, const char* config_path, const char* queue_path,
                    const char* job_log_dir, const SchedConfig* config, QueueState* queue);

// Whether command may be run through the API ([api] allowed-commands bit).
bool api_command_allowed(const SchedConfig& config, CommandKind command);

// Takes the front of the run queue: true with job and token filled, false when it is empty.
bool api_queue_pop(ApiState& state, char (&job)[kJobNameSize], char (&token)[kApiTokenNameSize]);

// Takes the first queued run of job out of the run queue; false when job has none queued.
bool api_queue_remove(ApiState& state, const char* job);

// Records a MAIL_RESULT in every test-mail slot holding mail_id; other ids change nothing.
void api_note_mail_result(ApiState& state, uint32_t mail_id, bool failed, const char* error);

}  // namespace vrk
