// The daemon's record of its network process (NetSupervisor): start as the unprivileged account
// over a socket pair, police every message it sends, kill it on the first misbehaviour, reap it
// and restart it with a growing delay. Single-threaded; the pumping flag guards re-entry.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/fd.h"
#include "common/ipc.h"
#include "common/mail_settings.h"
#include "common/net_names.h"
#include "common/secret_text.h"
#include "sched/config.h"

namespace vrk {

inline constexpr uint32_t kNetFirstRestartDelay = 5;
inline constexpr uint32_t kNetMaxRestartDelay = 300;
inline constexpr int kNetMailTextSize = 512;
inline constexpr int kNetApiAddressSize = 200;

// Turns one ApiRequest into an ApiResponse (every field filled); the return value is ignored.
using NetApiHandler = int (*)(void* context, const ApiRequest& request, ApiResponse& response);
// Told about every accepted MAIL_RESULT.
using NetMailResultHook = void (*)(void* context, uint32_t mail_id, uint32_t status,
                                   const char* text);

struct NetSupervisor {
  int32_t pid = -1;
  UniqueFd socket;  // our end of the socket pair; invalid while no child is connected
  int64_t started_at = 0;
  int64_t restart_at = 0;
  uint32_t restart_delay = kNetFirstRestartDelay;
  uint32_t next_message_id = 1;
  uint32_t wanted = 0;
  uint32_t pumping = 0;
  MailSettings mail = {};
  uint32_t last_mail_id = 0;
  uint32_t last_mail_status = 0;
  char last_mail_text[kNetMailTextSize] = {};
  uint32_t api_enabled = 0;
  UniqueFd api_listen_socket;
  char api_address[kNetApiAddressSize] = {};
  SecretText cert_pem;
  SecretText key_pem;
  uint32_t max_clients = 0;
  NetApiHandler api_handler = nullptr;
  void* api_context = nullptr;
  NetMailResultHook mail_result_hook = nullptr;
  void* mail_result_context = nullptr;
  IpcBufferPtr rx;  // the pump's receive buffer
  IpcBufferPtr tx;  // API_RESPONSE messages are built here
};

// pid, socket and listen socket -1, restart delay 5, next message id 1, everything else zero.
void net_init(NetSupervisor& net);

// Starts the child (program path, account check, socket pair, fork, the child's steps, exec)
// and hands it MAIL_CONFIG and API_CONFIG. 0, or -1 after logging why.
[[nodiscard]] int net_start(NetSupervisor& net);

// Reads and dispatches at most 32 messages, reaps the child, restarts it when due. Does
// nothing while a pump is already active.
void net_pump(NetSupervisor& net);

// Waits up to timeout_ms for the socket to become readable (sleeps when there is none), then
// pumps.
void net_wait(NetSupervisor& net, int timeout_ms);

// Replaces the mail settings (old ones wiped); starts or informs the child as needed.
void net_set_mail(NetSupervisor& net, const MailSettings& mail);

// Enables, changes or disables the API: certificate and key files, the listening socket, and a
// restart of the child with it.
void net_set_api(NetSupervisor& net, const ApiSettings& api, NetApiHandler handler,
                 void* handler_context);

// Drops the API: flag cleared, listen socket closed, certificate and key wiped; the child is
// restarted without it when mail is still wanted.
void net_stop_api(NetSupervisor& net);

// Stops the child: its socket closed, up to 5 s to leave, then SIGKILL; secrets wiped.
void net_shutdown(NetSupervisor& net);

// Kills and reaps the child at once; nothing is logged and no restart is scheduled.
void net_child_stop_now(NetSupervisor& net);

// A restart ordered by a settings change: the child is killed and reaped at once (nothing is
// logged for it), the next start is due at once with the delay back at 5, and a pump starts
// it when it is wanted and no pump is active.
void net_child_restart_now(NetSupervisor& net);

// The next message id (MAIL_CONFIG, API_CONFIG, MAIL_SEND); 0 is skipped, so it wraps to 1.
uint32_t net_next_message_id(NetSupervisor& net);

// The pump's answer to one parsed API_REQUEST: the handler's response, or the fixed 503 when
// the API is off or has no handler, sent as API_RESPONSE with request_id (logged on failure).
void net_answer_api_request(NetSupervisor& net, uint32_t request_id, const ApiRequest& request);

}  // namespace vrk
