#include "net/api_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <string_view>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "common/clock.h"
#include "common/scope_exit.h"
#include "common/text.h"
#include "net/api_tls.h"
#include "net/http_response.h"

namespace vrk {

namespace {

// Connections accepted (or refused) per pass; the rest wait in the backlog for the next one.
constexpr int kAcceptsPerPass = 256;

constexpr int kDriveGoOn = 0;
constexpr int kDriveStop = 1;  // waits for an event
constexpr int kDriveEnd = -1;  // close the connection

void close_connection(ApiConnection& c) {
  c.ssl.reset();
  if (c.fd >= 0) {
    ::close(c.fd);
    c.fd = -1;
  }
  http_request_head_wipe(c.head);
  if (c.recv) {
    OPENSSL_cleanse(c.recv.get(), kApiRecvBufferBytes);  // may hold an Authorization header
  }
}

void remove_connection(ApiServer& srv, size_t i) {
  close_connection(srv.connections[i]);
  if (i + 1 != srv.connections.size()) {
    srv.connections[i] = std::move(srv.connections.back());
  }
  srv.connections.pop_back();
  srv.accept_paused = false;  // a descriptor came free
}

// Numeric text of the peer; an IPv4-mapped IPv6 peer in IPv4 form.
void peer_text(const sockaddr_storage& ss, char (&out)[kIpcClientAddressSize]) {
  char text[INET6_ADDRSTRLEN] = "";
  const char* ok = nullptr;
  if (ss.ss_family == AF_INET) {
    const auto& a = reinterpret_cast<const sockaddr_in&>(ss);
    ok = inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
  } else if (ss.ss_family == AF_INET6) {
    const auto& a6 = reinterpret_cast<const sockaddr_in6&>(ss);
    if (IN6_IS_ADDR_V4MAPPED(&a6.sin6_addr)) {
      ok = inet_ntop(AF_INET, &a6.sin6_addr.s6_addr[12], text, sizeof text);
    } else {
      ok = inet_ntop(AF_INET6, &a6.sin6_addr, text, sizeof text);
    }
  }
  if (ok == nullptr || !text_copy(out, text)) {
    text_copy_cut(out, "unknown");
  }
}

// The bytes to send next, head then body, in place of the old output.
bool set_output(ApiConnection& c, const char* head, size_t head_length, const uint8_t* body,
                size_t body_length) {
  try {
    c.output.assign(head, head + head_length);
    c.output.insert(c.output.end(), body, body + body_length);
  } catch (const std::bad_alloc&) {
    return false;
  }
  c.output_sent = 0;
  return true;
}

// An answer made here: {"error":{...}} with status, code and message. close forces
// "Connection: close"; otherwise keep-alive follows the request.
bool error_response(ApiConnection& c, unsigned status, const char* code, const char* message,
                    bool close, int64_t now_ms) {
  char body[kHttpErrorBodySize];
  int body_length = http_error_body(code, message, body);
  bool keep_alive = !close && c.head.keep_alive;
  char head[kHttpResponseHeadSize];
  int head_length =
      http_response_head(status, body_length < 0 ? 0 : body_length, "", "", keep_alive, head);
  if (body_length < 0 || head_length < 0 ||
      !set_output(c, head, static_cast<size_t>(head_length), reinterpret_cast<uint8_t*>(body),
                  static_cast<size_t>(body_length))) {
    return false;
  }
  c.close_after = !keep_alive;
  c.state = ApiConnState::kSending;
  c.deadline_ms = now_ms + kApiSendMs;
  return true;
}

// The TLS layer could not go on: remember what it waits for, or end the connection.
int tls_wait(ApiConnection& c, int rc) {
  switch (SSL_get_error(c.ssl.get(), rc)) {
    case SSL_ERROR_WANT_READ:
      c.wanted = POLLIN;
      return kDriveStop;
    case SSL_ERROR_WANT_WRITE:
      c.wanted = POLLOUT;
      return kDriveStop;
    default:
      ERR_clear_error();
      return kDriveEnd;
  }
}

int forward(ApiServer& srv, ApiConnection& c, int64_t now_ms) {
  if (api_lockout_locked(srv.lockout, c.client_address, clock_unix_now())) {
    return error_response(c, 429, "too_many_requests",
                          "too many failed logins from this address, try again later", false,
                          now_ms)
               ? kDriveGoOn
               : kDriveEnd;
  }
  ApiRequest req;
  ScopeExit wipe([&] {
    ipc_api_request_wipe(req);
    ipc_buffer_wipe(*srv.send);
  });
  memcpy(req.method, c.head.method, sizeof req.method);
  memcpy(req.path, c.head.path, sizeof req.path);
  memcpy(req.query, c.head.query, sizeof req.query);
  memcpy(req.authorization, c.head.authorization, sizeof req.authorization);
  memcpy(req.if_match, c.head.if_match, sizeof req.if_match);
  memcpy(req.client_address, c.client_address, sizeof req.client_address);
  req.body = c.recv.get() + c.head.head_length;
  req.body_length = c.head.content_length;
  uint32_t id = api_server_take_request_id(srv);
  if (ipc_build_api_request(*srv.send, id, req) != 0 ||
      ipc_send(srv.ipc_fd, *srv.send, true) != 0) {
    return error_response(c, 503, "unavailable", "vrk_sched is busy, try again", false, now_ms)
               ? kDriveGoOn
               : kDriveEnd;
  }
  c.awaited_id = id;
  c.state = ApiConnState::kWaiting;
  c.deadline_ms = now_ms + kApiSchedulerMs;
  return kDriveStop;
}

int step_reading(ApiServer& srv, ApiConnection& c, int64_t now_ms) {
  std::string_view received(reinterpret_cast<const char*>(c.recv.get()), c.received);
  if (c.head.head_length == 0) {
    int rc = http_request_parse(received, c.head);
    if (rc != kHttpHeadComplete && rc != kHttpHeadMore) {
      unsigned status = static_cast<unsigned>(rc);
      return error_response(c, status, http_parse_error_code(status), http_reason_phrase(status),
                            true, now_ms)
                 ? kDriveGoOn
                 : kDriveEnd;
    }
    if (rc == kHttpHeadComplete) {
      c.continue_sent = false;
      c.deadline_ms = now_ms + kApiRequestMs;
    }
  }
  if (c.head.head_length != 0) {
    if (c.received >= static_cast<size_t>(c.head.head_length) + c.head.content_length) {
      return forward(srv, c, now_ms);
    }
    if (c.head.expect_continue && !c.continue_sent) {
      if (!set_output(c, kHttpContinue.data(), kHttpContinue.size(), nullptr, 0)) {
        return kDriveEnd;
      }
      c.continue_sent = true;
      c.state = ApiConnState::kContinue;
      return kDriveGoOn;
    }
  }
  if (c.received >= kApiRecvBufferBytes) {
    return error_response(c, 431, http_parse_error_code(431), http_reason_phrase(431), true, now_ms)
               ? kDriveGoOn
               : kDriveEnd;
  }
  bool first_bytes = c.received == 0;
  int n = SSL_read(c.ssl.get(), c.recv.get() + c.received,
                   static_cast<int>(kApiRecvBufferBytes - c.received));
  if (n <= 0) {
    return tls_wait(c, n);
  }
  c.received += static_cast<size_t>(n);
  if (first_bytes) {
    c.deadline_ms = std::min(c.deadline_ms, now_ms + kApiRequestMs);
  }
  return kDriveGoOn;
}

// The output is out: back to reading (after the interim response or a kept-alive answer),
// or closing.
void finish_sending(ApiConnection& c, int64_t now_ms) {
  std::vector<uint8_t>().swap(c.output);  // allocated per response, not kept while idle
  c.output_sent = 0;
  if (c.state == ApiConnState::kContinue) {
    c.state = ApiConnState::kReading;
    return;
  }
  if (c.close_after) {
    c.state = ApiConnState::kClosing;
    return;
  }
  // Bytes of a pipelined request behind this one stay for the next parse.
  size_t used =
      std::min(c.received, static_cast<size_t>(c.head.head_length) + c.head.content_length);
  memmove(c.recv.get(), c.recv.get() + used, c.received - used);
  c.received -= used;
  OPENSSL_cleanse(c.recv.get() + c.received, used);  // the old request's Authorization
  http_request_head_wipe(c.head);
  c.state = ApiConnState::kReading;
  c.deadline_ms = now_ms + (c.received > 0 ? kApiRequestMs : kApiIdleMs);
}

int step_sending(ApiConnection& c, int64_t now_ms) {
  if (c.output_sent < c.output.size()) {
    size_t left = c.output.size() - c.output_sent;
    int n = SSL_write(c.ssl.get(), c.output.data() + c.output_sent,
                      static_cast<int>(std::min<size_t>(left, INT32_MAX)));
    if (n <= 0) {
      return tls_wait(c, n);
    }
    c.output_sent += static_cast<size_t>(n);
    return kDriveGoOn;
  }
  finish_sending(c, now_ms);
  return kDriveGoOn;
}

int step(ApiServer& srv, ApiConnection& c, int64_t now_ms) {
  switch (c.state) {
    case ApiConnState::kHandshake: {
      int rc = SSL_do_handshake(c.ssl.get());
      if (rc != 1) {
        return tls_wait(c, rc);
      }
      c.state = ApiConnState::kReading;
      c.deadline_ms = now_ms + kApiRequestMs;
      return kDriveGoOn;
    }
    case ApiConnState::kReading:
      return step_reading(srv, c, now_ms);
    case ApiConnState::kWaiting:
      return kDriveStop;
    case ApiConnState::kSending:
    case ApiConnState::kContinue:
      return step_sending(c, now_ms);
    case ApiConnState::kClosing:
      SSL_shutdown(c.ssl.get());
      ERR_clear_error();
      return kDriveEnd;
  }
  return kDriveEnd;
}

// Up to kApiDriveSteps steps. kDriveEnd when the connection is to be closed.
int drive(ApiServer& srv, ApiConnection& c, int64_t now_ms) {
  c.more_steps = false;
  for (int i = 0; i < kApiDriveSteps; ++i) {
    c.wanted = 0;
    int rc = step(srv, c, now_ms);
    if (rc != kDriveGoOn) {
      return rc;
    }
  }
  c.more_steps = true;
  return kDriveStop;
}

void mark_if_ended(ApiConnection& c, int rc) {
  if (rc == kDriveEnd) {
    c.marked = true;
  }
}

void accept_connections(ApiServer& srv, int64_t now_ms) {
  for (int i = 0; i < kAcceptsPerPass; ++i) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    int fd = accept4(srv.listen_fd, reinterpret_cast<sockaddr*>(&ss), &len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) {
        continue;
      }
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // The backlog stays readable: without a pause the loop would spin until a descriptor
        // comes free.
        srv.accept_paused = true;
        srv.accept_resume_ms = now_ms + kApiAcceptPauseMs;
      }
      return;
    }
    if (!srv.tls || srv.connections.size() >= srv.max_clients) {
      ::close(fd);
      continue;
    }
    // Answers of more than one TLS record go out in several writes; with Nagle's algorithm the
    // last one would wait for the client's delayed acknowledgement of the first.
    const int one = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ApiConnection c;
    c.fd = fd;
    peer_text(ss, c.client_address);
    c.recv.reset(new (std::nothrow) uint8_t[kApiRecvBufferBytes]);
    c.ssl.reset(SSL_new(srv.tls.get()));
    if (!c.recv || !c.ssl || SSL_set_fd(c.ssl.get(), fd) != 1) {
      ERR_clear_error();
      close_connection(c);
      continue;
    }
    SSL_set_accept_state(c.ssl.get());
    c.deadline_ms = now_ms + kApiHandshakeMs;
    try {
      srv.connections.push_back(std::move(c));
    } catch (const std::bad_alloc&) {
      close_connection(c);
      continue;
    }
    ApiConnection& added = srv.connections.back();
    if (drive(srv, added, now_ms) == kDriveEnd) {
      remove_connection(srv, srv.connections.size() - 1);
    }
  }
}

}  // namespace

std::unique_ptr<ApiServer> api_server_new(int listen_fd, int ipc_fd) {
  std::unique_ptr<ApiServer> srv(new (std::nothrow) ApiServer);
  if (!srv) {
    return nullptr;
  }
  srv->send = ipc_buffer_new();
  if (!srv->send) {
    return nullptr;
  }
  try {
    srv->connections.reserve(kIpcMaxClientsMax);
    srv->wait_refs.reserve(kIpcMaxClientsMax + 1);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  srv->listen_fd = listen_fd;
  srv->ipc_fd = ipc_fd;
  // Accepting goes on until nothing is waiting, which must not block the loop.
  int flags = fcntl(listen_fd, F_GETFL);
  if (flags >= 0) {
    fcntl(listen_fd, F_SETFL, flags | O_NONBLOCK);
  }
  return srv;
}

uint32_t api_server_take_request_id(ApiServer& srv) {
  uint32_t id = srv.next_request_id;
  srv.next_request_id = id == UINT32_MAX ? 1 : id + 1;
  return id;
}

int api_server_configure(ApiServer& srv, const ApiTlsConfig& cfg, std::span<char> err) {
  if (api_tls_context_new(cfg.cert_pem.view(), cfg.key_pem.view(), srv.tls, err) != 0) {
    return -1;
  }
  srv.max_clients = cfg.max_clients;
  return 0;
}

int api_server_fill_wait_set(ApiServer& srv, std::span<curl_waitfd> waits) {
  srv.wait_refs.clear();
  size_t n = 0;
  if (n < waits.size() && !srv.accept_paused) {
    waits[n++] = {srv.listen_fd, CURL_WAIT_POLLIN, 0};
    srv.wait_refs.push_back({true, 0, srv.listen_fd});
  }
  for (size_t i = 0; i < srv.connections.size() && n < waits.size(); ++i) {
    const ApiConnection& c = srv.connections[i];
    if (c.wanted == 0 || c.marked) {
      continue;
    }
    short events = (c.wanted & POLLIN) ? CURL_WAIT_POLLIN : CURL_WAIT_POLLOUT;
    waits[n++] = {c.fd, events, 0};
    srv.wait_refs.push_back({false, i, c.fd});
  }
  return static_cast<int>(n);
}

int api_server_timeout_ms(const ApiServer& srv, int64_t now_ms, int ceiling_ms) {
  int64_t wait = ceiling_ms;
  if (srv.accept_paused) {
    wait = std::min(wait, std::max<int64_t>(0, srv.accept_resume_ms - now_ms));
  }
  for (const ApiConnection& c : srv.connections) {
    if (c.more_steps || c.marked) {
      return 0;
    }
    wait = std::min(wait, std::max<int64_t>(0, c.deadline_ms - now_ms));
  }
  return static_cast<int>(wait);
}

void api_server_handle_events(ApiServer& srv, std::span<const short> revents, int64_t now_ms) {
  if (srv.accept_paused && now_ms >= srv.accept_resume_ms) {
    srv.accept_paused = false;
  }
  // Connections that ran out of steps last time go on even without an event.
  for (ApiConnection& c : srv.connections) {
    c.drive_again = c.more_steps;
  }
  bool listener_ready = false;
  size_t entries = std::min(revents.size(), srv.wait_refs.size());
  for (size_t e = 0; e < entries; ++e) {
    const ApiWaitRef& ref = srv.wait_refs[e];
    short ev = revents[e];
    if (ref.listener) {
      listener_ready = listener_ready || ev != 0;
      continue;
    }
    // Look the connection up again: an earlier entry's work may have changed it.
    if (ev == 0 || ref.index >= srv.connections.size()) {
      continue;
    }
    ApiConnection& c = srv.connections[ref.index];
    if (c.fd != ref.fd || c.marked) {
      continue;
    }
    if (ev & (POLLERR | POLLNVAL)) {
      c.marked = true;
      continue;
    }
    c.drive_again = false;
    mark_if_ended(c, drive(srv, c, now_ms));
  }
  for (ApiConnection& c : srv.connections) {
    if (c.drive_again && !c.marked) {
      mark_if_ended(c, drive(srv, c, now_ms));
    }
  }
  for (ApiConnection& c : srv.connections) {
    if (c.marked || c.deadline_ms > now_ms) {
      continue;
    }
    if (c.state != ApiConnState::kWaiting) {
      c.marked = true;
      continue;
    }
    c.awaited_id = 0;
    if (!error_response(c, 504, "timeout", "vrk_sched did not answer in time", true, now_ms)) {
      c.marked = true;
      continue;
    }
    mark_if_ended(c, drive(srv, c, now_ms));
  }
  for (size_t i = srv.connections.size(); i-- > 0;) {
    if (srv.connections[i].marked) {
      remove_connection(srv, i);
    }
  }
  srv.wait_refs.clear();
  if (listener_ready) {
    accept_connections(srv, now_ms);
  }
}

void api_server_deliver(ApiServer& srv, uint32_t request_id, const ApiResponse& resp,
                        int64_t now_ms) {
  ApiConnection* found = nullptr;
  for (ApiConnection& c : srv.connections) {
    if (c.state == ApiConnState::kWaiting && c.awaited_id == request_id && !c.marked) {
      found = &c;
      break;
    }
  }
  if (found == nullptr) {
    return;
  }
  ApiConnection& c = *found;
  c.awaited_id = 0;
  if (resp.failed_login != 0) {
    api_lockout_fail(srv.lockout, c.client_address, clock_unix_now());
  }
  char head[kHttpResponseHeadSize];
  int head_length = http_response_head(resp.status, resp.body_length, text_view(resp.etag),
                                       text_view(resp.signature), c.head.keep_alive, head);
  if (head_length < 0) {
    if (!error_response(c, 500, "internal", "response head too large", true, now_ms)) {
      c.marked = true;
      return;
    }
  } else {
    if (!set_output(c, head, static_cast<size_t>(head_length), resp.body, resp.body_length)) {
      c.marked = true;
      return;
    }
    c.close_after = !c.head.keep_alive;
    c.state = ApiConnState::kSending;
    c.deadline_ms = now_ms + kApiSendMs;
  }
  // Closing waits for the end of the pass: the wait-set entries still name connections by index.
  mark_if_ended(c, drive(srv, c, now_ms));
}

}  // namespace vrk
