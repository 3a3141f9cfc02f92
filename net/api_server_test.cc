#include "net/api_server.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "common/clock.h"
#include "common/fd.h"
#include "net/test_identity.h"

namespace vrk {
namespace {

// A server over a socket pair standing in for both inherited sockets; the connection records
// are made by hand, without TLS, to pin the bookkeeping around them.
class ApiServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    a_.reset(sv[0]);
    b_.reset(sv[1]);
    srv_ = api_server_new(a_.get(), b_.get());
    ASSERT_TRUE(srv_);
  }

  ApiConnection& add(int fd, ApiConnState state, short wanted, int64_t deadline_ms) {
    ApiConnection c;
    c.fd = fd;
    c.state = state;
    c.wanted = wanted;
    c.deadline_ms = deadline_ms;
    srv_->connections.push_back(std::move(c));
    return srv_->connections.back();
  }

  UniqueFd a_;
  UniqueFd b_;
  std::unique_ptr<ApiServer> srv_;
};

TEST_F(ApiServerTest, StartsWithoutTlsAndSixteenClients) {
  EXPECT_FALSE(srv_->tls);
  EXPECT_EQ(srv_->max_clients, 16u);
  EXPECT_EQ(srv_->next_request_id, 1u);
}

TEST_F(ApiServerTest, RequestIdsWrapToOneNeverZero) {
  EXPECT_EQ(api_server_take_request_id(*srv_), 1u);
  EXPECT_EQ(api_server_take_request_id(*srv_), 2u);
  srv_->next_request_id = 4294967295u;
  EXPECT_EQ(api_server_take_request_id(*srv_), 4294967295u);
  EXPECT_EQ(api_server_take_request_id(*srv_), 1u);
}

TEST_F(ApiServerTest, WaitSetHoldsTheListenerAndConnectionsThatWantSomething) {
  add(100, ApiConnState::kReading, POLLIN, 0);
  add(101, ApiConnState::kWaiting, 0, 0);  // waits for vrk_sched, not for the client
  add(102, ApiConnState::kSending, POLLOUT, 0);
  curl_waitfd waits[8] = {};
  ASSERT_EQ(api_server_fill_wait_set(*srv_, waits), 3);
  EXPECT_EQ(waits[0].fd, a_.get());
  EXPECT_EQ(waits[0].events, CURL_WAIT_POLLIN);
  EXPECT_EQ(waits[1].fd, 100);
  EXPECT_EQ(waits[1].events, CURL_WAIT_POLLIN);
  EXPECT_EQ(waits[2].fd, 102);
  EXPECT_EQ(waits[2].events, CURL_WAIT_POLLOUT);
  // The given room is never exceeded.
  EXPECT_EQ(api_server_fill_wait_set(*srv_, std::span(waits, 2)), 2);
  EXPECT_EQ(api_server_fill_wait_set(*srv_, std::span(waits, 0)), 0);
  for (ApiConnection& c : srv_->connections) {
    c.fd = -1;  // not ours to close
  }
}

TEST_F(ApiServerTest, TimeoutComesFromTheNearestDeadline) {
  EXPECT_EQ(api_server_timeout_ms(*srv_, 5000, 1000), 1000);
  add(-1, ApiConnState::kReading, POLLIN, 5400);
  EXPECT_EQ(api_server_timeout_ms(*srv_, 5000, 1000), 400);
  EXPECT_EQ(api_server_timeout_ms(*srv_, 6000, 1000), 0);
  srv_->connections[0].deadline_ms = 90000;
  srv_->connections[0].more_steps = true;  // must go on without waiting
  EXPECT_EQ(api_server_timeout_ms(*srv_, 5000, 1000), 0);
}

TEST_F(ApiServerTest, ExpiredConnectionsOutsideWaitingCloseSilently) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  UniqueFd peer(sv[1]);
  add(sv[0], ApiConnState::kReading, POLLIN, 1000);
  add(-1, ApiConnState::kHandshake, POLLIN, 5000);
  api_server_handle_events(*srv_, {}, 2000);
  ASSERT_EQ(srv_->connections.size(), 1u);
  EXPECT_EQ(srv_->connections[0].deadline_ms, 5000);
  // The expired one was closed: its peer reads the end of the stream, and nothing else.
  char byte;
  EXPECT_EQ(read(peer.get(), &byte, 1), 0);
}

TEST_F(ApiServerTest, AnswerForNoWaitingConnectionIsDropped) {
  add(-1, ApiConnState::kReading, POLLIN, 5000);
  ApiResponse resp;
  resp.status = 200;
  resp.failed_login = 1;
  api_server_deliver(*srv_, 7, resp, 1000);
  ASSERT_EQ(srv_->connections.size(), 1u);
  EXPECT_EQ(srv_->connections[0].state, ApiConnState::kReading);
  EXPECT_FALSE(srv_->connections[0].marked);
  // Nothing was counted for the lock-out either.
  EXPECT_EQ(srv_->lockout.entries[0].address[0], '\0');
}

// A configured server on 127.0.0.1 with vrk_sched's end of the IPC socket pair in sched_, and
// TLS clients driven in turn with the server. Time is passed in, so deadlines are tested
// without waiting for them.
class ApiServerLoopTest : public ::testing::Test {
 protected:
  static constexpr int64_t kT0 = 1'000'000;

  void SetUp() override {
    listen_.reset(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(bind(listen_.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(listen(listen_.get(), 64), 0);
    ASSERT_EQ(getsockname(listen_.get(), reinterpret_cast<sockaddr*>(&sa), &len), 0);
    port_ = ntohs(sa.sin_port);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
    ipc_.reset(sv[0]);
    sched_.reset(sv[1]);
    srv_ = api_server_new(listen_.get(), ipc_.get());
    ASSERT_TRUE(srv_);
    static const TestIdentity id = test_identity_new();
    ApiTlsConfig cfg;
    ASSERT_TRUE(cfg.cert_pem.assign(id.cert_pem));
    ASSERT_TRUE(cfg.key_pem.assign(id.key_pem));
    cfg.max_clients = 4;
    char err[128];
    ASSERT_EQ(api_server_configure(*srv_, cfg, err), 0) << err;
    client_ctx_.reset(SSL_CTX_new(TLS_client_method()));
    ASSERT_TRUE(client_ctx_);
  }

  // One pass of the server as the main loop runs it, at time now_ms.
  void pass(int64_t now_ms) {
    curl_waitfd waits[64] = {};
    int n = api_server_fill_wait_set(*srv_, waits);
    pollfd fds[64] = {};
    short revents[64] = {};
    for (int i = 0; i < n; ++i) {
      fds[i] = {waits[i].fd,
                static_cast<short>(waits[i].events == CURL_WAIT_POLLOUT ? POLLOUT : POLLIN), 0};
    }
    poll(fds, static_cast<nfds_t>(n), 20);
    for (int i = 0; i < n; ++i) {
      revents[i] = fds[i].revents;
    }
    api_server_handle_events(*srv_, std::span<const short>(revents, n), now_ms);
  }

  // Runs passes at now_ms until done() holds; false when it never does.
  bool until(const std::function<bool()>& done, int64_t now_ms = kT0) {
    for (int i = 0; i < 500; ++i) {
      if (done()) {
        return true;
      }
      pass(now_ms);
    }
    return done();
  }

  struct Client {
    UniqueFd fd;
    SslPtr ssl;
    std::string in;
    bool eof = false;
  };

  Client connect_client() {
    Client c;
    c.fd.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port_);
    EXPECT_EQ(connect(c.fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    EXPECT_EQ(fcntl(c.fd.get(), F_SETFL, O_NONBLOCK), 0);
    c.ssl.reset(SSL_new(client_ctx_.get()));
    SSL_set_fd(c.ssl.get(), c.fd.get());
    SSL_set_connect_state(c.ssl.get());
    return c;
  }

  bool handshake(Client& c) {
    return until([&] { return SSL_do_handshake(c.ssl.get()) == 1; });
  }

  // Reads what has arrived; eof once the server closed.
  void read_some(Client& c) {
    char buf[4096];
    for (;;) {
      int n = SSL_read(c.ssl.get(), buf, sizeof buf);
      if (n > 0) {
        c.in.append(buf, static_cast<size_t>(n));
        continue;
      }
      int e = SSL_get_error(c.ssl.get(), n);
      if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
        c.eof = true;
      }
      ERR_clear_error();
      return;
    }
  }

  // The id of the next API_REQUEST vrk_sched receives, driving the server meanwhile; 0 if none.
  uint32_t next_request() {
    uint32_t id = 0;
    until([&] {
      if (ipc_recv(sched_.get(), in_, true) != kIpcRecvMessage) {
        return false;
      }
      IpcMessage msg;
      ApiRequest req;
      char err[256];
      id =
          ipc_parse_header(in_, msg) == 0 && ipc_parse_api_request(msg, req, err) == 0 ? msg.id : 0;
      return true;
    });
    return id;
  }

  UniqueFd listen_;
  UniqueFd ipc_;
  UniqueFd sched_;
  uint16_t port_ = 0;
  std::unique_ptr<ApiServer> srv_;
  SslCtxPtr client_ctx_;
  IpcBuffer in_;
};

const std::string kTimeoutAnswer =
    "HTTP/1.1 504 Gateway Timeout\r\nContent-Type: application/json\r\nContent-Length: "
    "73\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n"
    R"({"error":{"code":"timeout","message":"vrk_sched did not answer in time"}})";

TEST_F(ApiServerLoopTest, SchedulerSilentFor30sGives504AndItsLateAnswerIsDropped) {
  Client c = connect_client();
  ASSERT_TRUE(handshake(c));
  ASSERT_EQ(SSL_write(c.ssl.get(), "GET / HTTP/1.1\r\n\r\n", 18), 18);
  uint32_t id = next_request();
  ASSERT_EQ(id, 1u);
  pass(kT0 + kApiSchedulerMs - 1000);
  read_some(c);
  EXPECT_EQ(c.in, "");
  EXPECT_TRUE(until(
      [&] {
        read_some(c);
        return c.eof;
      },
      kT0 + kApiSchedulerMs + 1));
  EXPECT_EQ(c.in, kTimeoutAnswer);
  EXPECT_EQ(srv_->connections.size(), 0u);
  ApiResponse late;
  late.status = 200;
  api_server_deliver(*srv_, id, late, kT0 + kApiSchedulerMs + 2);
}

TEST_F(ApiServerLoopTest, DeadlinesCloseSilentlyOutsideWaiting) {
  // Handshake never started, a head never finished, and a kept-alive connection left idle.
  Client silent = connect_client();
  Client slow = connect_client();
  Client idle = connect_client();
  ASSERT_TRUE(handshake(slow));
  ASSERT_TRUE(handshake(idle));
  ASSERT_TRUE(until([&] { return srv_->connections.size() == 3; }));
  ASSERT_EQ(SSL_write(slow.ssl.get(), "GET / HTTP/1.1\r\n", 16), 16);
  ASSERT_EQ(SSL_write(idle.ssl.get(), "GET / HTTP/1.1\r\n\r\n", 18), 18);
  uint32_t id = next_request();
  ApiResponse resp;
  resp.status = 204;
  api_server_deliver(*srv_, id, resp, kT0);
  const std::string answer =
      "HTTP/1.1 204 Status\r\nContent-Type: application/json\r\nContent-Length: 0\r\n"
      "Cache-Control: no-store\r\nConnection: keep-alive\r\n\r\n";
  ASSERT_TRUE(until([&] {
    read_some(idle);
    return idle.in.size() >= answer.size();
  }));
  EXPECT_EQ(idle.in, answer);
  idle.in.clear();

  // 10 s after the start the first two go; the idle one has 60 s from its answer.
  EXPECT_TRUE(until([&] { return srv_->connections.size() == 1; }, kT0 + kApiRequestMs + 1));
  for (int i = 0; i < 5; ++i) {
    pass(kT0 + kApiIdleMs - 1);
  }
  EXPECT_EQ(srv_->connections.size(), 1u);
  EXPECT_TRUE(until([&] { return srv_->connections.empty(); }, kT0 + kApiIdleMs + 1));
  for (Client* c : {&slow, &idle}) {
    ASSERT_TRUE(until([&] {
      read_some(*c);
      return c->eof;
    }));
    EXPECT_EQ(c->in, "");
  }
}

TEST_F(ApiServerLoopTest, FullIpcSocketGives503AndKeepsTheConnection) {
  // vrk_sched is not reading: fill its socket until a send would block.
  IpcBuffer filler;
  ASSERT_EQ(ipc_build_hello(filler, 1), 0);
  while (ipc_send(ipc_.get(), filler, true) == 0) {
  }
  ASSERT_EQ(errno, EAGAIN);
  Client c = connect_client();
  ASSERT_TRUE(handshake(c));
  ASSERT_EQ(SSL_write(c.ssl.get(), "GET / HTTP/1.1\r\n\r\n", 18), 18);
  const std::string answer =
      "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nContent-Length: "
      "73\r\nCache-Control: no-store\r\nConnection: keep-alive\r\n\r\n"
      R"({"error":{"code":"unavailable","message":"vrk_sched is busy, try again"}})";
  ASSERT_TRUE(until([&] {
    read_some(c);
    return c.in.size() >= answer.size() || c.eof;
  }));
  EXPECT_EQ(c.in, answer);
  EXPECT_FALSE(c.eof);
  ASSERT_EQ(srv_->connections.size(), 1u);
  EXPECT_EQ(srv_->connections[0].state, ApiConnState::kReading);
}

TEST_F(ApiServerLoopTest, PipelineFromALockedAddressIsAnsweredWhollyWithoutTheScheduler) {
  for (uint32_t i = 0; i < kApiLockout.failures; ++i) {
    api_lockout_fail(srv_->lockout, "127.0.0.1", clock_unix_now());
  }
  Client c = connect_client();
  ASSERT_TRUE(handshake(c));
  // Far more answers than one drive may give: the rest must follow on later passes without any
  // new event from the client.
  std::string pipeline;
  for (int i = 0; i < 100; ++i) {
    pipeline += "GET / HTTP/1.1\r\n\r\n";
  }
  ASSERT_EQ(SSL_write(c.ssl.get(), pipeline.data(), static_cast<int>(pipeline.size())),
            static_cast<int>(pipeline.size()));
  const std::string one =
      "HTTP/1.1 429 Too Many Requests\r\nContent-Type: application/json\r\nContent-Length: "
      "108\r\nCache-Control: no-store\r\nConnection: keep-alive\r\n\r\n"
      R"({"error":{"code":"too_many_requests","message":"too many failed logins from this )"
      R"(address, try again later"}})";
  std::string want;
  for (int i = 0; i < 100; ++i) {
    want += one;
  }
  ASSERT_TRUE(until([&] {
    read_some(c);
    return c.in.size() >= want.size() || c.eof;
  }));
  EXPECT_TRUE(c.in == want) << c.in.size() << " bytes";
  EXPECT_EQ(ipc_recv(sched_.get(), in_, true), kIpcRecvNothing);
}

TEST_F(ApiServerLoopTest, OutOfDescriptorsPausesAcceptingInsteadOfSpinning) {
  UniqueFd waiting(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port_);
  ASSERT_EQ(connect(waiting.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  // No descriptor below the lowest free one is free, so a limit there makes accept fail.
  int lowest = dup(listen_.get());
  ASSERT_GE(lowest, 0);
  close(lowest);
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  rlimit low = old;
  low.rlim_cur = static_cast<rlim_t>(lowest);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  bool paused = until([&] { return srv_->accept_paused; });
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
  ASSERT_TRUE(paused);
  curl_waitfd waits[4] = {};
  EXPECT_EQ(api_server_fill_wait_set(*srv_, waits), 0);  // the listener sits out the pause
  EXPECT_EQ(api_server_timeout_ms(*srv_, kT0 + 400, 1000), 600);
  EXPECT_TRUE(until([&] { return srv_->connections.size() == 1; }, kT0 + kApiAcceptPauseMs));
  EXPECT_FALSE(srv_->accept_paused);
}

TEST_F(ApiServerLoopTest, NewSettingsServeNewConnectionsWhileOpenOnesKeepTheirs) {
  Client before = connect_client();
  ASSERT_TRUE(handshake(before));
  X509Ptr old_cert(SSL_get1_peer_certificate(before.ssl.get()));
  TestIdentity fresh = test_identity_new();
  ApiTlsConfig cfg;
  ASSERT_TRUE(cfg.cert_pem.assign(fresh.cert_pem));
  ASSERT_TRUE(cfg.key_pem.assign(fresh.key_pem));
  cfg.max_clients = 2;
  char err[128];
  ASSERT_EQ(api_server_configure(*srv_, cfg, err), 0) << err;
  EXPECT_EQ(srv_->max_clients, 2u);

  Client after = connect_client();
  ASSERT_TRUE(handshake(after));
  X509Ptr new_cert(SSL_get1_peer_certificate(after.ssl.get()));
  ASSERT_TRUE(old_cert && new_cert);
  EXPECT_NE(X509_cmp(old_cert.get(), new_cert.get()), 0);
  // The connection made under the old settings still works.
  ASSERT_EQ(SSL_write(before.ssl.get(), "GET /old HTTP/1.1\r\n\r\n", 21), 21);
  EXPECT_EQ(next_request(), 1u);

  // Settings that cannot be used change nothing: the limit stays 2.
  ApiTlsConfig bad;
  ASSERT_TRUE(bad.cert_pem.assign(fresh.key_pem));
  ASSERT_TRUE(bad.key_pem.assign(fresh.key_pem));
  bad.max_clients = 1;
  EXPECT_EQ(api_server_configure(*srv_, bad, err), -1);
  EXPECT_EQ(srv_->max_clients, 2u);
}

}  // namespace
}  // namespace vrk
