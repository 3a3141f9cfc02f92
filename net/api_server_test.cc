#include "net/api_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/fd.h"

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

}  // namespace
}  // namespace vrk
