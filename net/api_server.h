// The HTTPS front end: a state machine per client connection over fixed buffers, driven by the
// one loop of vrk_sched_net. Each complete request goes to vrk_sched as API_REQUEST; each
// API_RESPONSE comes back as the HTTP response of the connection that waits for its id. The
// server itself answers only protocol faults, time-outs, a busy scheduler and locked-out
// addresses. Connections are kept unordered (a closed one is replaced by the last), so a
// connection index is valid only until the next close.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <span>
#include <vector>

#include <curl/curl.h>

#include "common/handles.h"
#include "common/ipc.h"
#include "net/api_lockout.h"
#include "net/http_request.h"

namespace vrk {

inline constexpr uint32_t kApiDefaultMaxClients = 16;
inline constexpr size_t kApiRecvBufferBytes = kHttpHeadMax + kHttpBodyMax;  // 40960
inline constexpr int kApiDriveSteps = 64;  // per event, so one client cannot starve the others

// Deadlines of the connection states, milliseconds.
inline constexpr int64_t kApiHandshakeMs = 10'000;
inline constexpr int64_t kApiRequestMs = 10'000;
inline constexpr int64_t kApiIdleMs = 60'000;
inline constexpr int64_t kApiSchedulerMs = 30'000;
inline constexpr int64_t kApiSendMs = 30'000;
// Out of descriptors: the listening socket leaves the wait set this long, or until one closes.
inline constexpr int64_t kApiAcceptPauseMs = 1'000;

enum class ApiConnState : uint8_t {
  kHandshake = 0,
  kReading = 1,
  kWaiting = 2,   // for vrk_sched's answer
  kSending = 3,   // the response
  kContinue = 4,  // sending the interim 100 response
  kClosing = 5,
};

struct ApiConnection {
  int fd = -1;
  SslPtr ssl;
  ApiConnState state = ApiConnState::kHandshake;
  short wanted = 0;  // POLLIN or POLLOUT as TLS last asked; 0 while waiting for vrk_sched
  char client_address[kIpcClientAddressSize] = {};
  int64_t deadline_ms = 0;
  std::unique_ptr<uint8_t[]> recv;  // kApiRecvBufferBytes
  size_t received = 0;
  HttpRequestHead head{};  // head.head_length is 0 until the head is parsed
  uint32_t awaited_id = 0;
  std::vector<uint8_t> output;
  size_t output_sent = 0;
  bool close_after = false;
  bool continue_sent = false;
  bool marked = false;       // to be closed at the end of this pass
  bool more_steps = false;   // ran out of steps; driven again without waiting
  bool drive_again = false;  // more_steps as it was when this pass began
};

// What a server entry of the wait set stands for.
struct ApiWaitRef {
  bool listener = false;
  size_t index = 0;  // the connection, unless listener
  int fd = -1;       // checked again before use
};

struct ApiServer {
  int listen_fd = -1;
  int ipc_fd = -1;
  SslCtxPtr tls;
  uint32_t max_clients = kApiDefaultMaxClients;
  uint32_t next_request_id = 1;  // never 0
  std::vector<ApiConnection> connections;
  ApiLockout lockout{};
  std::vector<ApiWaitRef> wait_refs;  // one per entry of the last api_server_fill_wait_set
  IpcBufferPtr send;                  // API_REQUEST under construction
  bool accept_paused = false;         // accept failed for want of descriptors
  int64_t accept_resume_ms = 0;
};

// A server for the two inherited sockets: no TLS context, 16 clients, request id 1. Null when
// out of memory.
std::unique_ptr<ApiServer> api_server_new(int listen_fd, int ipc_fd);

// The id for the next API_REQUEST: 1, 2, ... 4294967295, then 1 again; never 0.
uint32_t api_server_take_request_id(ApiServer& srv);

// Installs the certificate, key and client limit of an API_CONFIG. 0; or -1 with the text of
// api_tls_context_new in err (128 bytes), the old context and limit kept.
[[nodiscard]] int api_server_configure(ApiServer& srv, const ApiTlsConfig& cfg,
                                       std::span<char> err);

// Writes the listening socket (readable) and every connection with wanted events into waits,
// at most waits.size() entries, and remembers what each stands for. Returns the count.
int api_server_fill_wait_set(ApiServer& srv, std::span<curl_waitfd> waits);

// Milliseconds until the nearest connection deadline, at most ceiling_ms; 0 when a connection
// must be driven again at once.
int api_server_timeout_ms(const ApiServer& srv, int64_t now_ms, int ceiling_ms);

// Acts on the readiness of the entries of the last fill (revents[i] in poll flags for entry
// i), then on time-outs, closes what ended and accepts new connections. now_ms is monotonic.
void api_server_handle_events(ApiServer& srv, std::span<const short> revents, int64_t now_ms);

// Hands vrk_sched's answer for request_id to the connection waiting for it; dropped when there
// is none. Counts a failed login towards the lock-out of the client's address.
void api_server_deliver(ApiServer& srv, uint32_t request_id, const ApiResponse& resp,
                        int64_t now_ms);

}  // namespace vrk
