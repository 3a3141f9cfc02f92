#include "net/net_loop.h"

#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "common/fd.h"
#include "common/ipc.h"
#include "common/log.h"
#include "common/mail_settings.h"
#include "common/text.h"

namespace vrk {
namespace {

// A socket on 127.0.0.1 that is bound and, when asked, listening without ever accepting.
// Unlistened, connecting is refused at once; listening, the connection waits for a greeting.
struct LocalPort {
  UniqueFd fd;
  uint16_t port = 0;
  explicit LocalPort(bool listening) {
    fd.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
        (listening && listen(fd.get(), 4) != 0)) {
      fd.reset();
      return;
    }
    port = ntohs(a.sin_port);
  }
};

MailSettings local_settings(uint16_t port, const char* host = "127.0.0.1") {
  MailSettings m;
  EXPECT_TRUE(text_copy(m.smtp_host, host));
  m.smtp_port = port;
  m.tls_mode = kMailTlsNone;
  EXPECT_TRUE(text_copy(m.from, "sched@example.org"));
  EXPECT_TRUE(text_copy(m.recipients[0], "ops@example.org"));
  m.recipient_count = 1;
  m.timeout_seconds = 10;
  return m;
}

// net_serve in a forked child with the other end of a socket pair; its log goes to a file.
class NetServeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
    ours_.reset(sv[0]);
    theirs_.reset(sv[1]);
    const char* tmp = getenv("TMPDIR");
    log_path_ = std::string(tmp && *tmp ? tmp : "/tmp") + "/vrk-net-log-XXXXXX";
    log_fd_.reset(mkstemp(log_path_.data()));
    ASSERT_TRUE(log_fd_.valid());
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    unlink(log_path_.c_str());
  }

  void start(int listen_fd = -1) {
    fflush(nullptr);
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      // _exit: the test's own exit handlers must not run in the child.
      ours_.reset();
      dup2(log_fd_.get(), 2);
      log_init("vrk_sched_net", kLogInfo);
      _exit(net_serve(theirs_.get(), listen_fd));
    }
    theirs_.reset();
  }

  // The next message, or kIpcRecvClosed once the child closed its end.
  int next(IpcBuffer& buf, IpcMessage& msg) {
    pollfd p = {ours_.get(), POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) {
      ADD_FAILURE() << "no message within 10 s";
      return kIpcRecvClosed;
    }
    int rc = ipc_recv(ours_.get(), buf, false);
    if (rc == kIpcRecvMessage) {
      EXPECT_EQ(ipc_parse_header(buf, msg), 0);
    }
    return rc;
  }

  void expect_hello() {
    IpcMessage msg;
    ASSERT_EQ(next(buf_, msg), kIpcRecvMessage);
    uint32_t pid = 0;
    char err[128] = "";
    ASSERT_EQ(ipc_parse_hello(msg, pid, err), 0) << err;
    EXPECT_EQ(pid, static_cast<uint32_t>(pid_));
  }

  void send_mail(uint32_t id) {
    ASSERT_EQ(ipc_build_mail_send(buf_, id, "backup done", "all fine\n"), 0);
    ASSERT_EQ(ipc_send(ours_.get(), buf_, false), 0);
  }

  void send_settings(const MailSettings& m) {
    ASSERT_EQ(ipc_build_mail_config(buf_, 1, m), 0);
    ASSERT_EQ(ipc_send(ours_.get(), buf_, false), 0);
  }

  // The next message is MAIL_RESULT for id; returns its status and text.
  uint32_t expect_result(uint32_t id, std::string& text) {
    IpcMessage msg;
    EXPECT_EQ(next(buf_, msg), kIpcRecvMessage);
    uint32_t status = 99;
    char t[kIpcMailErrorSize] = "";
    char err[128] = "";
    EXPECT_EQ(ipc_parse_mail_result(msg, status, t, err), 0) << err;
    EXPECT_EQ(msg.id, id);
    text = t;
    return status;
  }

  // Waits for the child; returns its exit status (-1 when it did not exit normally).
  int wait_exit() {
    int status = 0;
    pid_t got = waitpid(pid_, &status, 0);
    pid_ = -1;
    if (got <= 0 || !WIFEXITED(status)) {
      return -1;
    }
    return WEXITSTATUS(status);
  }

  std::string log_text() {
    std::string s;
    char chunk[4096];
    ssize_t n;
    off_t at = 0;
    while ((n = pread(log_fd_.get(), chunk, sizeof chunk, at)) > 0) {
      s.append(chunk, static_cast<size_t>(n));
      at += n;
    }
    return s;
  }

  UniqueFd ours_, theirs_, log_fd_;
  std::string log_path_;
  pid_t pid_ = -1;
  IpcBuffer buf_;
};

TEST_F(NetServeTest, HelloFirstThenAnswersMailWithoutSettings) {
  start();
  expect_hello();
  std::string text;
  send_mail(42);
  EXPECT_EQ(expect_result(42, text), 1u);
  EXPECT_EQ(text, "no [mail] settings received");
  ours_.reset();
  EXPECT_EQ(wait_exit(), 0);
  EXPECT_EQ(log_text(), "");
}

TEST_F(NetServeTest, NewerMailConfigReplacesTheOlder) {
  LocalPort refused(false);
  ASSERT_NE(refused.port, 0);
  start();
  expect_hello();
  send_settings(local_settings(1, "192.0.2.1"));
  send_settings(local_settings(refused.port));
  send_mail(3);
  std::string text;
  EXPECT_EQ(expect_result(3, text), 1u);
  EXPECT_NE(text.find("(smtp://127.0.0.1:" + std::to_string(refused.port) + ")"), std::string::npos)
      << text;
  ours_.reset();
  EXPECT_EQ(wait_exit(), 0);
  std::string log = log_text();
  EXPECT_NE(log.find("INFO  mail settings received (server 192.0.2.1:1, 1 recipient(s))\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("INFO  mail settings received (server 127.0.0.1:"), std::string::npos);
}

TEST_F(NetServeTest, ApiConfigWithListeningSocketKeepsRunningWithoutApi) {
  LocalPort listening(true);
  ASSERT_NE(listening.port, 0);
  start(listening.fd.get());
  expect_hello();
  ASSERT_EQ(ipc_build_api_config(buf_, 2, "cert", "key", 4), 0);
  ASSERT_EQ(ipc_send(ours_.get(), buf_, false), 0);
  send_mail(5);  // answered: the process went on
  std::string text;
  EXPECT_EQ(expect_result(5, text), 1u);
  ours_.reset();
  EXPECT_EQ(wait_exit(), 0);
  EXPECT_NE(log_text().find("ERROR API not available: "), std::string::npos) << log_text();
}

TEST_F(NetServeTest, TransferInFlightIsDroppedAtTheEnd) {
  LocalPort silent(true);  // accepts into its backlog, never greets
  ASSERT_NE(silent.port, 0);
  start();
  expect_hello();
  send_settings(local_settings(silent.port));
  send_mail(8);
  // Half-close: the process sees the end of the stream and can still be heard.
  ASSERT_EQ(shutdown(ours_.get(), SHUT_WR), 0);
  IpcMessage msg;
  EXPECT_EQ(next(buf_, msg), kIpcRecvClosed) << "no MAIL_RESULT for a dropped transfer";
  EXPECT_EQ(wait_exit(), 0);
  std::string log = log_text();
  EXPECT_NE(log.find("INFO  mail #8: sending: backup done\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("mail #8 not sent"), std::string::npos) << log;
}

TEST_F(NetServeTest, UnsendableResultsEndTheProcess) {
  struct Case {
    const char* what;
    bool with_settings;
    int want_exit;
  };
  // A mail that could not start ends with 1; a finished transfer's result ends with 0.
  const Case cases[] = {
      {"mail not started", false, 1},
      {"transfer finished", true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    LocalPort refused(false);
    ASSERT_NE(refused.port, 0);
    start();
    expect_hello();
    // Our end stops reading: every send of the process fails with EPIPE from now on.
    ASSERT_EQ(shutdown(ours_.get(), SHUT_RD), 0);
    if (c.with_settings) {
      send_settings(local_settings(refused.port));
    }
    send_mail(11);
    EXPECT_EQ(wait_exit(), c.want_exit);
    EXPECT_NE(log_text().find("ERROR cannot send the result of mail #11 to vrk_sched\n"),
              std::string::npos)
        << log_text();
    TearDown();
  }
}

TEST_F(NetServeTest, HelloThatCannotBeSentEndsWith1) {
  ASSERT_EQ(shutdown(ours_.get(), SHUT_RD), 0);
  int fd = theirs_.get();
  start();
  EXPECT_EQ(wait_exit(), 1);
  EXPECT_NE(log_text().find("ERROR cannot talk to vrk_sched on fd " + std::to_string(fd) + "\n"),
            std::string::npos)
      << log_text();
}

}  // namespace
}  // namespace vrk
