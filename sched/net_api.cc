// The scheduler's API side of the network process: the listening socket, the certificate and
// key it hands over, and the answer to each API_REQUEST.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include <openssl/crypto.h>

#include "common/error.h"
#include "common/fd.h"
#include "common/ipc.h"
#include "common/log.h"
#include "common/scope_exit.h"
#include "common/secret_text.h"
#include "common/text.h"
#include "sched/net_supervisor.h"

namespace vrk {
namespace {

constexpr size_t kPemMax = 16384;
constexpr int kListenBacklog = 64;
constexpr size_t kApiErrSize = 800;

constexpr char kDisabledBody[] =
    "{\"error\":{\"code\":\"unavailable\",\"message\":\"the API is disabled\"}}";
static_assert(sizeof kDisabledBody - 1 == 64);

// Reads path whole: 1..16384 bytes, no NUL. 0, or -1 with the message in err.
int read_pem(const char* path, SecretText& out, std::span<char> err) {
  UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    err_set(err, "cannot read %s: %s", path, strerror(errno));
    return -1;
  }
  // One byte over the limit tells a too-large file from one at the limit. The text is copied
  // out at its final size, so this buffer is wiped on every way out.
  std::unique_ptr<char[]> buf(new (std::nothrow) char[kPemMax + 1]);
  if (!buf) {
    err_set(err, "out of memory");
    return -1;
  }
  ScopeExit wipe([&] { OPENSSL_cleanse(buf.get(), kPemMax + 1); });
  size_t n = 0;
  int read_errno = 0;
  while (n < kPemMax + 1) {
    ssize_t r = read(fd.get(), buf.get() + n, kPemMax + 1 - n);
    if (r < 0 && errno == EINTR) {
      continue;
    }
    if (r < 0) {
      read_errno = errno;
      break;
    }
    if (r == 0) {
      break;
    }
    n += static_cast<size_t>(r);
  }
  if (read_errno != 0) {
    err_set(err, "cannot read %s: %s", path, strerror(read_errno));
    return -1;
  }
  if (n == 0 || n > kPemMax || memchr(buf.get(), '\0', n) != nullptr) {
    err_set(err, "%s is empty, too large or not a PEM file", path);
    return -1;
  }
  if (!out.assign(std::string_view(buf.get(), n))) {
    err_set(err, "out of memory");
    return -1;
  }
  return 0;
}

// A non-blocking, close-on-exec listening socket on a numeric host; an invalid one with the
// message in err.
UniqueFd open_listener(const char* host, uint32_t port, std::span<char> err) {
  bool v6 = strchr(host, ':') != nullptr;
  struct sockaddr_storage ss = {};
  socklen_t len = 0;
  if (v6) {
    auto* a = reinterpret_cast<struct sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET6, host, &a->sin6_addr) != 1) {
      err_set(err, "bad address %s", host);
      return UniqueFd();
    }
    len = sizeof *a;
  } else {
    auto* a = reinterpret_cast<struct sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host, &a->sin_addr) != 1) {
      err_set(err, "bad address %s", host);
      return UniqueFd();
    }
    len = sizeof *a;
  }
  UniqueFd fd(socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    err_set(err, "socket: %s", strerror(errno));
    return UniqueFd();
  }
  int on = 1;
  int off = 0;
  setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (v6) {
    // IPv4 clients arrive as mapped addresses on the same socket.
    setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  }
  if (bind(fd.get(), reinterpret_cast<struct sockaddr*>(&ss), len) != 0 ||
      listen(fd.get(), kListenBacklog) != 0) {
    int e = errno;
    err_set(err, "cannot listen on %s%s%s:%u: %s", v6 ? "[" : "", host, v6 ? "]" : "", port,
            strerror(e));
    return UniqueFd();
  }
  return fd;
}

}  // namespace

void net_set_api(NetSupervisor& net, const ApiSettings& api, NetApiHandler handler,
                 void* handler_context) {
  net.api_handler = handler;
  net.api_context = handler_context;
  if (api.enabled == 0) {
    net_stop_api(net);
    return;
  }
  char err[kApiErrSize] = "";
  SecretText cert;
  SecretText key;
  if (read_pem(api.cert, cert, err) != 0 || read_pem(api.key, key, err) != 0) {
    log_msg(kLogError, "vrk_sched: API not started: %s (create one with 'vrk_sched api-init')",
            err);
    net_stop_api(net);
    return;
  }
  const char* host = api.listen_address;
  bool v6 = strchr(host, ':') != nullptr;
  char address[kNetApiAddressSize] = "";
  snprintf(address, sizeof address, "%s%s%s:%u", v6 ? "[" : "", host, v6 ? "]" : "",
           api.listen_port);

  bool same_place = net.api_enabled != 0 && net.api_listen_socket.valid() &&
                    strcmp(address, net.api_address) == 0;
  if (same_place && net.max_clients == api.max_clients && net.cert_pem.view() == cert.view() &&
      net.key_pem.view() == key.view()) {
    return;  // nothing changed: the child keeps running
  }
  if (!same_place) {
    // The old port is freed before the new one is bound. The running child holds a copy of the
    // old socket: it goes first, or a new host on the same port could not be bound.
    if (net.api_listen_socket.valid()) {
      net_child_stop_now(net);
    }
    net.api_listen_socket.reset();
    UniqueFd fd = open_listener(host, api.listen_port, err);
    if (!fd.valid()) {
      log_msg(kLogError, "vrk_sched: API not started: %s", err);
      cert.clear();
      key.clear();
      net_stop_api(net);
      return;
    }
    net.api_listen_socket = std::move(fd);
  }
  net.cert_pem = std::move(cert);
  net.key_pem = std::move(key);
  net.max_clients = api.max_clients;
  text_copy_cut(net.api_address, address);
  net.api_enabled = 1;
  net.wanted = 1;
  log_msg(kLogInfo, "vrk_sched: API enabled on %s", net.api_address);

  // The new child gets the socket as descriptor 4 and API_CONFIG right after its start.
  net_child_restart_now(net);
}

void net_answer_api_request(NetSupervisor& net, uint32_t request_id, const ApiRequest& request) {
  const int sock = net.socket.get();
  ApiResponse resp;
  if (net.api_enabled != 0 && net.api_handler != nullptr) {
    net.api_handler(net.api_context, request, resp);
  } else {
    resp.status = 503;
    resp.body = reinterpret_cast<const uint8_t*>(kDisabledBody);
    resp.body_length = sizeof kDisabledBody - 1;
  }
  // The handler may have restarted the child: this answer belongs to the old one.
  if (!net.socket.valid() || net.socket.get() != sock) {
    return;
  }
  if (!net.tx) {
    net.tx = ipc_buffer_new();
  }
  bool built = net.tx && ipc_build_api_response(*net.tx, request_id, resp) == 0;
  if (built && ipc_send(net.socket.get(), *net.tx, true) == 0) {
    return;
  }
  int e = errno;
  log_msg(kLogWarn, "vrk_sched: could not hand an API response to vrk_sched_net (%s)",
          built && (e == EAGAIN || e == EWOULDBLOCK) ? "it is not keeping up"
                                                     : "message too large or socket error");
}

}  // namespace vrk
