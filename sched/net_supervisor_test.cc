#include "sched/net_supervisor.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/clock.h"
#include "common/fd.h"
#include "common/ipc.h"
#include "common/test_stderr.h"
#include "sched/net_mail.h"

namespace vrk {
namespace {

bool has_line(const std::string& log, const char* level, const std::string& message) {
  return log.find(std::string(level) + message + "\n") != std::string::npos;
}
#define EXPECT_LOG(log, level, message) \
  EXPECT_TRUE(has_line(log, level, message)) << "missing: " << (message) << "\nlog:\n" << (log)

constexpr const char kWarn[] = " WARN  ";
constexpr const char kInfo[] = " INFO  ";
constexpr const char kError[] = " ERROR ";

// Stands in for vrk_sched_net; its behaviour comes from VRK_FAKE_NET_MODE in the environment.
constexpr const char kFakeNet[] = R"(#!/usr/bin/python3
import os, socket, struct, sys, time
mode = os.environ.get("VRK_FAKE_NET_MODE", "idle")
if mode == "exit3":
    # A grandchild keeps the socket open, so the exit is seen before the end of stream.
    if os.fork() == 0:
        time.sleep(3)
        os._exit(0)
    sys.exit(3)
if mode == "silent":
    while True:
        time.sleep(1)
s = socket.socket(fileno=3)
def msg(t, mid, payload):
    return b"VRKS" + struct.pack("<HHII", 1, t, mid, len(payload)) + payload
def rec(tag, v):
    return struct.pack("<HI", tag, len(v)) + v
pid = os.getpid() + (1 if mode == "wrong_pid" else 0)
s.send(msg(1, 0, rec(1, struct.pack("<I", pid))))
if mode == "mail_send":
    s.send(msg(3, 1, rec(20, b"s") + rec(21, b"b")))
if mode == "oversized":
    s.send(b"x" * 65537)
# With VRK_FAKE_NET_RECORD set: the port of descriptor 4 (0 without one) and every message
# received, each behind its length, in files named after the record path and our pid.
record = os.environ.get("VRK_FAKE_NET_RECORD")
if record:
    try:
        port = socket.socket(fileno=os.dup(4)).getsockname()[1]
    except OSError:
        port = 0
    with open("%s.%d.port" % (record, os.getpid()), "w") as f:
        f.write("%d\n" % port)
while True:
    data = s.recv(70000)
    if not data:
        break
    if record:
        with open("%s.%d" % (record, os.getpid()), "ab") as f:
            f.write(struct.pack("<I", len(data)) + data)
)";

bool wait_readable(int fd, int ms) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, ms) == 1;
}

// The next message on fd within a generous time.
bool recv_message(int fd, IpcBuffer& buf, IpcMessage& msg) {
  return wait_readable(fd, 5000) && ipc_recv(fd, buf, true) == kIpcRecvMessage &&
         ipc_parse_header(buf, msg) == 0;
}

// The arguments of a started child once it runs its program (a script shows its interpreter
// and path before the arguments we passed).
std::string args_of(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/cmdline";
  for (int i = 0; i < 250; ++i) {
    std::string out;
    FILE* f = fopen(path.c_str(), "rb");
    if (f != nullptr) {
      int c;
      while ((c = fgetc(f)) != EOF) {
        out.push_back(c == 0 ? ' ' : static_cast<char>(c));
      }
      fclose(f);
    }
    size_t at = out.find("fake_net ");
    if (at != std::string::npos) {
      return out.substr(at + 9);
    }
    usleep(20000);
  }
  return "(not started)";
}

MailSettings mail_to_port(uint32_t port) {
  MailSettings m;
  m.enabled = 1;
  snprintf(m.smtp_host, sizeof m.smtp_host, "127.0.0.1");
  m.smtp_port = port;
  m.tls_mode = kMailTlsNone;
  snprintf(m.from, sizeof m.from, "sched@example.org");
  snprintf(m.recipients[0], sizeof m.recipients[0], "ops@example.org");
  m.recipient_count = 1;
  m.timeout_seconds = 5;
  return m;
}

// The port a socket is bound to; 0 when it cannot be read.
uint16_t bound_port(int fd) {
  struct sockaddr_storage ss = {};
  socklen_t len = sizeof ss;
  if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&ss), &len) != 0) {
    return 0;
  }
  if (ss.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<struct sockaddr_in6*>(&ss)->sin6_port);
  }
  return ntohs(reinterpret_cast<struct sockaddr_in*>(&ss)->sin_port);
}

// A loopback port that was free a moment ago.
uint16_t free_port() {
  UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(s.get(), reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0) {
    return 0;
  }
  return bound_port(s.get());
}

// A listening socket on host and port (no SO_REUSEADDR), to keep the port busy.
UniqueFd occupy(int family, const char* host, uint16_t port) {
  UniqueFd s(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  struct sockaddr_storage ss = {};
  socklen_t len = 0;
  if (family == AF_INET6) {
    auto* a = reinterpret_cast<struct sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(port);
    inet_pton(AF_INET6, host, &a->sin6_addr);
    len = sizeof *a;
  } else {
    auto* a = reinterpret_cast<struct sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    inet_pton(AF_INET, host, &a->sin_addr);
    len = sizeof *a;
  }
  if (bind(s.get(), reinterpret_cast<struct sockaddr*>(&ss), len) != 0 || listen(s.get(), 1) != 0) {
    return UniqueFd();
  }
  return s;
}

int int_option(int fd, int level, int name) {
  int value = -1;
  socklen_t len = sizeof value;
  return getsockopt(fd, level, name, &value, &len) == 0 ? value : -1;
}

class NetSupervisorTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = getenv("TMPDIR");
    dir_ = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/vrk_net_XXXXXX";
    ASSERT_NE(mkdtemp(dir_.data()), nullptr);
    // The child runs as the unprivileged account and must reach its program.
    chmod(dir_.c_str(), 0755);
    fake_ = dir_ + "/fake_net";
    write_file(fake_, kFakeNet, 0755);
    // Sanitizer builds: the sandboxed real program cannot run LeakSanitizer.
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    unsetenv("VRK_FAKE_NET_MODE");
    setenv("VRK_SCHED_NET_BIN", fake_.c_str(), 1);
    net_init(net_);
  }
  void TearDown() override {
    for (pid_t p : fakes_) {
      kill(p, SIGKILL);
      waitpid(p, nullptr, 0);
      if (net_.pid == p) {
        net_.pid = -1;
      }
    }
    if (net_.pid > 0) {
      kill(net_.pid, SIGKILL);
    }
    net_shutdown(net_);
    unsetenv("VRK_SCHED_NET_BIN");
    unsetenv("VRK_FAKE_NET_MODE");
    unsetenv("VRK_FAKE_NET_RECORD");
    nftw(
        dir_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); },
        16, FTW_DEPTH | FTW_PHYS);
  }

  static void write_file(const std::string& path, const std::string& text, mode_t mode = 0644) {
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    chmod(path.c_str(), mode);
  }

  // A connected "child": a process that only waits, and our end of a socket pair in peer_.
  void attach_fake() {
    // The pair is made after the fork, so the stand-in never holds an end of it.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // Ends with the test process even when that dies early: a stand-in left waiting would
      // hold the test's output open and stall the test runner.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      pause();
      _exit(0);
    }
    fakes_.push_back(pid);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
    net_.pid = pid;
    net_.socket.reset(sv[0]);
    peer_.reset(sv[1]);
  }

  // Sends raw bytes from the child's side.
  void from_child(const void* bytes, size_t n) {
    ASSERT_EQ(send(peer_.get(), bytes, n, 0), static_cast<ssize_t>(n));
  }
  void from_child(const IpcBuffer& buf) { ASSERT_EQ(ipc_send(peer_.get(), buf, false), 0); }

  // A GET API_REQUEST with id for path from client, sent from the child's side.
  void request_from_child(uint32_t id, const char* path, const char* client) {
    ApiRequest req;
    snprintf(req.method, sizeof req.method, "GET");
    snprintf(req.path, sizeof req.path, "%s", path);
    snprintf(req.client_address, sizeof req.client_address, "%s", client);
    ASSERT_EQ(ipc_build_api_request(buf_, id, req), 0);
    from_child(buf_);
  }

  // The end of a killed fake. The pump may have reaped it already; the stand-in only ever
  // ends by a signal, so that alone shows the kill.
  void expect_killed(pid_t pid) {
    int status = 0;
    pid_t r = waitpid(pid, &status, 0);
    if (r == pid) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    } else {
      EXPECT_EQ(errno, ECHILD);
      EXPECT_EQ(net_.pid, -1);
    }
    std::erase(fakes_, pid);
    net_.pid = -1;
  }

  // Real children run as the network account when we are root.
  bool can_start_children() { return geteuid() != 0 || getpwnam(kNetAccount) != nullptr; }

  // API settings with the certificate and key files of the temporary directory.
  ApiSettings api_in_dir(const char* host, uint32_t port) {
    ApiSettings api;
    api.enabled = 1;
    snprintf(api.listen_address, sizeof api.listen_address, "%s", host);
    api.listen_port = port;
    snprintf(api.cert, sizeof api.cert, "%s/api.crt", dir_.c_str());
    snprintf(api.key, sizeof api.key, "%s/api.key", dir_.c_str());
    return api;
  }

  // What a recording stand-in (VRK_FAKE_NET_RECORD=dir_/records/rec) with the given pid reported:
  // the port of its descriptor 4 and the API_CONFIG it received. False when it did not within 5 s.
  bool recorded_api_config(pid_t pid, uint16_t& port, ApiTlsConfig& cfg) {
    std::string base = dir_ + "/records/rec." + std::to_string(pid);
    for (int i = 0; i < 250; ++i) {
      std::vector<uint8_t> bytes;
      unsigned recorded_port = 0;
      FILE* pf = fopen((base + ".port").c_str(), "r");
      if (pf != nullptr) {
        if (fscanf(pf, "%u", &recorded_port) != 1) {
          recorded_port = 0;
        }
        fclose(pf);
      }
      FILE* f = fopen(base.c_str(), "rb");
      if (f != nullptr) {
        int c;
        while ((c = fgetc(f)) != EOF) {
          bytes.push_back(static_cast<uint8_t>(c));
        }
        fclose(f);
      }
      for (size_t at = 0; at + 4 <= bytes.size();) {
        size_t n = bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | bytes[at + 3] << 24;
        if (at + 4 + n > bytes.size()) {
          break;
        }
        IpcMessage msg;
        char err[128] = "";
        if (ipc_parse_header(bytes.data() + at + 4, n, msg) == 0 &&
            msg.type == IpcType::kApiConfig && ipc_parse_api_config(msg, cfg, err) == 0) {
          port = static_cast<uint16_t>(recorded_port);
          return true;
        }
        at += 4 + n;
      }
      usleep(20000);
    }
    return false;
  }

  std::string dir_;
  std::string fake_;
  NetSupervisor net_;
  UniqueFd peer_;
  std::vector<pid_t> fakes_;
  IpcBuffer buf_;
};

TEST_F(NetSupervisorTest, InitState) {
  EXPECT_EQ(net_.pid, -1);
  EXPECT_FALSE(net_.socket.valid());
  EXPECT_FALSE(net_.api_listen_socket.valid());
  EXPECT_EQ(net_.restart_delay, 5u);
  EXPECT_EQ(net_.next_message_id, 1u);
  EXPECT_EQ(net_.wanted, 0u);
  EXPECT_EQ(net_.started_at, 0);
}

TEST_F(NetSupervisorTest, MessageIdsSkipZero) {
  net_.next_message_id = 0xFFFFFFFFu;
  EXPECT_EQ(net_next_message_id(net_), 0xFFFFFFFFu);
  EXPECT_EQ(net_next_message_id(net_), 1u);
  EXPECT_EQ(net_next_message_id(net_), 2u);
}

// Every rule of the pump's dispatch, one datagram from a fake child each.
TEST_F(NetSupervisorTest, DispatchRules) {
  struct Case {
    const char* name;
    std::function<void(IpcBuffer&, pid_t)> build;  // leaves the datagram in the buffer
    bool killed;
    const char* level;
    std::string want;         // %d is the child's pid
    std::string before = {};  // a line logged before want, if any
  };
  auto with_type = [](IpcType t, uint32_t id) {
    return [t, id](IpcBuffer& b, pid_t) { ipc_begin(b, t, id); };
  };
  const std::vector<Case> cases = {
      {"bad magic",
       [](IpcBuffer& b, pid_t pid) {
         ASSERT_EQ(ipc_build_hello(b, static_cast<uint32_t>(pid)), 0);
         b.bytes[0] = 'X';
       },
       true, kWarn, "sent a malformed message: killed"},
      {"short hello",
       [](IpcBuffer& b, pid_t) {
         ipc_begin(b, IpcType::kHello, 0);
         ASSERT_EQ(ipc_put_bytes(b, kIpcTagHelloPid, "abc", 3), 0);
       },
       true, kWarn, "sent a bad HELLO: killed"},
      {"hello right pid",
       [](IpcBuffer& b, pid_t pid) {
         ASSERT_EQ(ipc_build_hello(b, static_cast<uint32_t>(pid)), 0);
       },
       false, nullptr, ""},
      {"hello wrong pid", [](IpcBuffer& b, pid_t) { ASSERT_EQ(ipc_build_hello(b, 1), 0); }, false,
       kWarn, "vrk_sched: network process HELLO names pid 1, expected %d"},
      {"mail result with text on success",
       [](IpcBuffer& b, pid_t) {
         ipc_begin(b, IpcType::kMailResult, 3);
         ASSERT_EQ(ipc_put_u32(b, kIpcTagResultStatus, 0), 0);
         ASSERT_EQ(ipc_put_text(b, kIpcTagResultText, "x"), 0);
       },
       true, kWarn, "sent a bad MAIL_RESULT: killed"},
      {"bad api request",
       [](IpcBuffer& b, pid_t) {
         ipc_begin(b, IpcType::kApiRequest, 9);
         ASSERT_EQ(ipc_put_text(b, kIpcTagReqMethod, "GET"), 0);
         ASSERT_EQ(ipc_put_text(b, kIpcTagReqPath, "x"), 0);
       },
       true, kWarn, "sent a bad API_REQUEST: killed", "vrk_sched: API_REQUEST: bad path"},
      {"mail send", with_type(IpcType::kMailSend, 1), true, kWarn,
       "sent a message type it may not send: killed"},
      {"mail config", with_type(IpcType::kMailConfig, 1), true, kWarn,
       "sent a message type it may not send: killed"},
      {"api config", with_type(IpcType::kApiConfig, 1), true, kWarn,
       "sent a message type it may not send: killed"},
      {"api response", with_type(IpcType::kApiResponse, 1), true, kWarn,
       "sent a message type it may not send: killed"},
      {"type 99", with_type(static_cast<IpcType>(99), 1), true, kWarn,
       "sent a message type it may not send: killed"},
      {"oversized", nullptr, true, kWarn, "sent an oversized message: killed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    attach_fake();
    pid_t pid = net_.pid;
    if (c.build) {
      c.build(buf_, pid);
      from_child(buf_.bytes, buf_.length);
    } else {
      std::vector<char> big(kIpcMaxMessage + 1, 'x');
      from_child(big.data(), big.size());
    }
    StderrCapture cap;
    net_pump(net_);
    std::string log = cap.text();
    std::string want = c.want;
    if (size_t at = want.find("%d"); at != std::string::npos) {
      want.replace(at, 2, std::to_string(pid));
    }
    if (!c.before.empty()) {
      EXPECT_LOG(log, c.level, c.before);
      EXPECT_LT(log.find(c.before), log.find(want));
    }
    if (c.killed) {
      EXPECT_FALSE(net_.socket.valid());
      EXPECT_LOG(log, c.level,
                 "vrk_sched: network process pid=" + std::to_string(pid) + " " + want);
      expect_killed(pid);
    } else {
      EXPECT_EQ(net_.pid, pid);
      EXPECT_TRUE(net_.socket.valid());
      if (c.level != nullptr) {
        EXPECT_LOG(log, c.level, want);
      } else {
        EXPECT_EQ(log.find("vrk_sched:"), std::string::npos) << log;
      }
      kill(pid, SIGKILL);
      net_.socket.reset();
    }
  }
}

TEST_F(NetSupervisorTest, ClosedConnectionThenExitIsOneEvent) {
  attach_fake();
  pid_t pid = net_.pid;
  peer_.reset();
  kill(pid, SIGTERM);
  siginfo_t info = {};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
  StderrCapture cap;
  int64_t now = clock_unix_now();
  net_pump(net_);
  std::string log = cap.text();
  EXPECT_LOG(log, kWarn,
             "vrk_sched: network process pid=" + std::to_string(pid) + " closed the connection");
  EXPECT_EQ(log.find("exited (status="), std::string::npos) << log;
  EXPECT_EQ(net_.pid, -1);  // reaped in the same pump
  std::erase(fakes_, pid);
  EXPECT_EQ(net_.restart_delay, 10u);  // scheduled once
  EXPECT_GE(net_.restart_at, now + 5);
}

TEST_F(NetSupervisorTest, MailResultIsStoredLoggedAndHooked) {
  struct Case {
    uint32_t status;
    const char* text;
    const char* level;
    const char* want;
  };
  const Case cases[] = {
      {0, "", kInfo, "vrk_sched: mail #7 sent"},
      {1, "550 refused\r\n", kError, "vrk_sched: mail #7 not sent: 550 refused  "},
  };
  struct Seen {
    int calls = 0;
    uint32_t id = 0, status = 0;
    std::string text;
  } seen;
  net_.mail_result_context = &seen;
  net_.mail_result_hook = [](void* ctx, uint32_t id, uint32_t status, const char* text) {
    auto* s = static_cast<Seen*>(ctx);
    ++s->calls;
    s->id = id;
    s->status = status;
    s->text = text;
  };
  attach_fake();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    ASSERT_EQ(ipc_build_mail_result(buf_, 7, c.status, c.text), 0);
    from_child(buf_);
    StderrCapture cap;
    net_pump(net_);
    EXPECT_LOG(cap.text(), c.level, c.want);
    EXPECT_EQ(net_.last_mail_id, 7u);
    EXPECT_EQ(net_.last_mail_status, c.status);
    EXPECT_EQ(seen.id, 7u);
    EXPECT_EQ(seen.status, c.status);
    EXPECT_EQ(seen.text, net_.last_mail_text);
  }
  EXPECT_EQ(seen.calls, 2);
  EXPECT_STREQ(net_.last_mail_text, "550 refused  ");
}

TEST_F(NetSupervisorTest, ApiRequestsAreAnswered) {
  static const char kHandlerBody[] = "{\"ok\":true}";
  struct Case {
    const char* name;
    uint32_t api_on;
    NetApiHandler handler;
    uint32_t want_status;
    std::string want_body;
    const char* want_etag;
  };
  NetApiHandler good = [](void* ctx, const ApiRequest& req, ApiResponse& resp) {
    *static_cast<std::string*>(ctx) = std::string(req.method) + " " + req.path;
    resp.status = 200;
    snprintf(resp.etag, sizeof resp.etag, "\"e\"");
    resp.body = reinterpret_cast<const uint8_t*>(kHandlerBody);
    resp.body_length = sizeof kHandlerBody - 1;
    return 0;
  };
  const std::string disabled =
      "{\"error\":{\"code\":\"unavailable\",\"message\":\"the API is disabled\"}}";
  const Case cases[] = {
      {"api off", 0, nullptr, 503, disabled, ""},
      {"api off with handler", 0, good, 503, disabled, ""},
      {"api on without handler", 1, nullptr, 503, disabled, ""},
      {"api on", 1, good, 200, kHandlerBody, "\"e\""},
  };
  attach_fake();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string called;
    net_.api_enabled = c.api_on;
    net_.api_handler = c.handler;
    net_.api_context = &called;
    request_from_child(41, "/v1/jobs", "127.0.0.1");
    net_pump(net_);
    IpcMessage msg;
    ASSERT_TRUE(recv_message(peer_.get(), buf_, msg));
    EXPECT_EQ(msg.type, IpcType::kApiResponse);
    EXPECT_EQ(msg.id, 41u);
    ApiResponse resp;
    char err[128] = "";
    ASSERT_EQ(ipc_parse_api_response(msg, resp, err), 0) << err;
    EXPECT_EQ(resp.status, c.want_status);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(resp.body), resp.body_length), c.want_body);
    EXPECT_STREQ(resp.etag, c.want_etag);
    EXPECT_EQ(resp.failed_login, 0u);
    EXPECT_EQ(called, c.want_status == 200 ? "GET /v1/jobs" : "");
  }
  net_.api_enabled = 0;
}

TEST_F(NetSupervisorTest, ApiResponseThatCannotBeSentIsLogged) {
  static std::vector<uint8_t> huge(kIpcResponseBodyMax + 1, 'a');
  net_.api_enabled = 1;
  net_.api_handler = [](void* ctx, const ApiRequest&, ApiResponse& resp) {
    resp.status = 200;
    resp.body = huge.data();
    resp.body_length = static_cast<uint32_t>(*static_cast<size_t*>(ctx));
    return 0;
  };
  struct Case {
    size_t body;
    bool fill_socket;
    const char* reason;
  };
  const Case cases[] = {
      {huge.size(), false, "message too large or socket error"},
      {10, true, "it is not keeping up"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    attach_fake();
    size_t body = c.body;
    net_.api_context = &body;
    if (c.fill_socket) {
      ASSERT_EQ(ipc_build_hello(buf_, 1), 0);
      while (ipc_send(net_.socket.get(), buf_, true) == 0) {
      }
    }
    request_from_child(5, "/", "::1");
    StderrCapture cap;
    net_pump(net_);
    EXPECT_LOG(cap.text(), kWarn,
               std::string("vrk_sched: could not hand an API response to vrk_sched_net (") +
                   c.reason + ")");
    EXPECT_TRUE(net_.socket.valid());  // the child is not blamed for it
    net_.socket.reset();
  }
  net_.api_enabled = 0;
}

// The growing restart delay, driven by failure events without waiting for it.
TEST_F(NetSupervisorTest, RestartDelayGrowsAndResetsAfterALongRun) {
  const uint32_t want[] = {5, 10, 20, 40, 80, 160, 300, 300};
  for (uint32_t d : want) {
    SCOPED_TRACE(d);
    attach_fake();
    net_.started_at = clock_unix_now();
    peer_.reset();
    int64_t before = clock_unix_now();
    StderrCapture cap;
    net_pump(net_);
    int64_t after = clock_unix_now();
    EXPECT_GE(net_.restart_at, before + d);
    EXPECT_LE(net_.restart_at, after + d);
    kill(net_.pid, SIGKILL);
  }
  EXPECT_EQ(net_.restart_delay, 300u);

  struct Case {
    int64_t ran;
    int64_t want_in;
    uint32_t want_delay;
  };
  const Case long_runs[] = {{60, 5, 10}, {59, 300, 300}, {3600, 5, 10}};
  for (const Case& c : long_runs) {
    SCOPED_TRACE(c.ran);
    attach_fake();
    peer_.reset();
    net_.restart_delay = 300;
    int64_t now = clock_unix_now();
    net_.started_at = now - c.ran;
    StderrCapture cap;
    net_pump(net_);
    kill(net_.pid, SIGKILL);
    if (clock_unix_now() != now) {
      continue;  // a second passed: the run looks one second longer
    }
    EXPECT_EQ(net_.restart_at, now + c.want_in);
    EXPECT_EQ(net_.restart_delay, c.want_delay);
  }
}

TEST_F(NetSupervisorTest, FailedStartsBackOffEvenAfterALongRun) {
  setenv("VRK_SCHED_NET_BIN", "/nonexistent/vrk_sched_net", 1);
  net_.wanted = 1;
  net_.started_at = clock_unix_now() - 1000;  // the last child ran long
  const uint32_t want[] = {5, 10, 20};
  for (uint32_t d : want) {
    SCOPED_TRACE(d);
    net_.restart_at = 0;
    int64_t before = clock_unix_now();
    StderrCapture cap;
    net_pump(net_);
    EXPECT_LOG(cap.text(), kError,
               "vrk_sched: network process binary /nonexistent/vrk_sched_net not found: no mail, "
               "no API");
    EXPECT_GE(net_.restart_at, before + d);
    EXPECT_LE(net_.restart_at, clock_unix_now() + d);
    EXPECT_EQ(net_.pid, -1);
  }
  // Not yet due: no new attempt.
  StderrCapture cap;
  net_pump(net_);
  EXPECT_EQ(cap.text(), "");
}

TEST_F(NetSupervisorTest, NothingStartsWhenNothingIsWanted) {
  MailSettings off;
  net_set_mail(net_, off);
  ApiSettings api;
  api.enabled = 0;
  net_set_api(net_, api, nullptr, nullptr);
  net_pump(net_);
  EXPECT_EQ(net_.pid, -1);
  EXPECT_EQ(net_.wanted, 0u);
}

TEST_F(NetSupervisorTest, SetMailOnAConnectedChildSendsTheSettings) {
  attach_fake();
  net_.wanted = 1;
  MailSettings m = mail_to_port(2525);
  snprintf(m.smtp_password, sizeof m.smtp_password, "pw");
  snprintf(m.smtp_user, sizeof m.smtp_user, "u");
  net_set_mail(net_, m);
  IpcMessage msg;
  ASSERT_TRUE(recv_message(peer_.get(), buf_, msg));
  MailSettings got;
  char err[512] = "";
  ASSERT_EQ(ipc_parse_mail_config(msg, got, err), 0) << err;
  EXPECT_EQ(got.smtp_port, 2525u);
  EXPECT_STREQ(got.smtp_password, "pw");

  // Disabled settings are only wiped here: the child hears nothing and keeps running.
  MailSettings off;
  net_set_mail(net_, off);
  EXPECT_FALSE(wait_readable(peer_.get(), 100));
  EXPECT_EQ(net_.mail.smtp_password[0], '\0');
  EXPECT_TRUE(net_.socket.valid());
  EXPECT_EQ(net_.wanted, 0u);
}

TEST_F(NetSupervisorTest, SendMail) {
  StderrCapture cap;
  EXPECT_EQ(net_send_mail(net_, "subj", "body"), 0u);
  EXPECT_LOG(cap.text(), kError,
             "vrk_sched: mail \"subj\" not sent: the network process is not running");

  attach_fake();
  net_.next_message_id = 0xFFFFFFFFu;
  const uint32_t want_ids[] = {0xFFFFFFFFu, 1u};
  for (uint32_t want : want_ids) {
    StderrCapture c2;
    EXPECT_EQ(net_send_mail(net_, "backup done", "all fine\n"), want);
    EXPECT_LOG(c2.text(), kInfo,
               "vrk_sched: mail #" + std::to_string(want) + " queued: backup done");
    IpcMessage msg;
    ASSERT_TRUE(recv_message(peer_.get(), buf_, msg));
    EXPECT_EQ(msg.type, IpcType::kMailSend);
    EXPECT_EQ(msg.id, want);
    char subject[kIpcMailSubjectSize], body[kIpcMailBodySize], err[128];
    ASSERT_EQ(ipc_parse_mail_send(msg, subject, body, err), 0) << err;
    EXPECT_STREQ(subject, "backup done");
    EXPECT_STREQ(body, "all fine\n");
  }

  std::string big(kIpcMailBodySize, 'b');
  StderrCapture c3;
  EXPECT_EQ(net_send_mail(net_, "big", big.c_str()), 0u);
  EXPECT_LOG(c3.text(), kError,
             "vrk_sched: mail \"big\" not sent: cannot hand it to the network process (message "
             "too large or socket error)");

  ASSERT_EQ(ipc_build_hello(buf_, 1), 0);
  while (ipc_send(net_.socket.get(), buf_, true) == 0) {
  }
  StderrCapture c4;
  EXPECT_EQ(net_send_mail(net_, "late", "x"), 0u);
  EXPECT_LOG(c4.text(), kError,
             "vrk_sched: mail \"late\" not sent: cannot hand it to the network process (it is not "
             "keeping up)");
}

TEST_F(NetSupervisorTest, WaitMailOutcomes) {
  char text[kNetMailTextSize];
  // The awaited result after another one.
  attach_fake();
  ASSERT_EQ(ipc_build_mail_result(buf_, 3, 1, "other mail"), 0);
  from_child(buf_);
  ASSERT_EQ(ipc_build_mail_result(buf_, 4, 1, "relay denied"), 0);
  from_child(buf_);
  EXPECT_EQ(net_wait_mail(net_, 4, 5, text), -1);
  EXPECT_STREQ(text, "relay denied");
  ASSERT_EQ(ipc_build_mail_result(buf_, 5, 0), 0);
  from_child(buf_);
  EXPECT_EQ(net_wait_mail(net_, 5, 5, text), 0);

  // The child goes away first.
  peer_.reset();
  EXPECT_EQ(net_wait_mail(net_, 6, 5, text), -1);
  EXPECT_STREQ(text, "the network process exited before reporting a result");
}

TEST_F(NetSupervisorTest, WaitMailGivesUpAtItsLimitAfterOneSecond) {
  attach_fake();
  int64_t t0 = clock_monotonic_ms();
  char text[kNetMailTextSize];
  EXPECT_EQ(net_wait_mail(net_, 9, 1, text), -1);
  EXPECT_STREQ(text, "no answer from the network process within 1 s");
  EXPECT_GE(clock_monotonic_ms() - t0, 1000);
}

TEST_F(NetSupervisorTest, ApiSettingsFilesAndAddresses) {
  std::string cert = dir_ + "/api.crt";
  std::string key = dir_ + "/api.key";
  write_file(cert, "-----BEGIN CERTIFICATE-----\n");
  struct Case {
    const char* name;
    bool key_exists;
    std::string key_text;
    const char* host;
    std::string want;  // the log line; %s is the key path
  };
  const Case cases[] = {
      {"missing key", false, "", "127.0.0.1",
       "vrk_sched: API not started: cannot read %s: No such file or directory (create one with "
       "'vrk_sched api-init')"},
      {"empty key", true, "", "127.0.0.1",
       "vrk_sched: API not started: %s is empty, too large or not a PEM file (create one with "
       "'vrk_sched api-init')"},
      {"key over the limit", true, std::string(kIpcPemMax + 1, 'k'), "127.0.0.1",
       "vrk_sched: API not started: %s is empty, too large or not a PEM file (create one with "
       "'vrk_sched api-init')"},
      {"key with NUL", true, std::string("ab\0cd", 5), "127.0.0.1",
       "vrk_sched: API not started: %s is empty, too large or not a PEM file (create one with "
       "'vrk_sched api-init')"},
      {"host name", true, "KEY", "localhost", "vrk_sched: API not started: bad address localhost"},
      {"key at the limit, v4", true, std::string(kIpcPemMax, 'k'), "127.0.0.1",
       "vrk_sched: API enabled on 127.0.0.1:0"},
      {"v6", true, "KEY", "::1", "vrk_sched: API enabled on [::1]:0"},
  };
  setenv("VRK_FAKE_NET_MODE", "idle", 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(key.c_str());
    if (c.key_exists) {
      write_file(key, c.key_text);
    }
    ApiSettings api;
    api.enabled = 1;
    snprintf(api.listen_address, sizeof api.listen_address, "%s", c.host);
    api.listen_port = 0;
    snprintf(api.cert, sizeof api.cert, "%s", cert.c_str());
    snprintf(api.key, sizeof api.key, "%s", key.c_str());
    StderrCapture cap;
    net_set_api(net_, api, nullptr, nullptr);
    std::string log = cap.text();
    std::string want = c.want;
    if (size_t at = want.find("%s"); at != std::string::npos) {
      want.replace(at, 2, key);
    }
    bool on = want.find("enabled on") != std::string::npos;
    EXPECT_LOG(log, on ? kInfo : kError, want);
    EXPECT_EQ(net_.api_enabled, on ? 1u : 0u);
    EXPECT_EQ(net_.api_listen_socket.valid(), on);
    if (on) {
      EXPECT_EQ(net_.key_pem.size(), c.key_text.size());
    } else {
      EXPECT_TRUE(net_.key_pem.empty());
    }
    net_stop_api(net_);
  }
}

// The certificate is read before the key, by the same rules; its errors name its path.
TEST_F(NetSupervisorTest, ApiCertificateFileRules) {
  std::string cert = dir_ + "/api.crt";
  std::string key = dir_ + "/api.key";
  const char* hint = " (create one with 'vrk_sched api-init')";
  enum class Kind { kMissing, kFile, kDirectory };
  struct Case {
    const char* name;
    Kind kind;
    std::string text;
    std::string want;  // %s is the certificate path
  };
  const Case cases[] = {
      {"missing", Kind::kMissing, "",
       "vrk_sched: API not started: cannot read %s: No such file or directory"},
      {"a directory", Kind::kDirectory, "",
       "vrk_sched: API not started: cannot read %s: Is a directory"},
      {"empty", Kind::kFile, "",
       "vrk_sched: API not started: %s is empty, too large or not a PEM file"},
      {"over the limit", Kind::kFile, std::string(kIpcPemMax + 1, 'c'),
       "vrk_sched: API not started: %s is empty, too large or not a PEM file"},
      {"NUL at the end", Kind::kFile, std::string("CERT\n\0", 6),
       "vrk_sched: API not started: %s is empty, too large or not a PEM file"},
      {"at the limit", Kind::kFile, std::string(kIpcPemMax, 'c'),
       "vrk_sched: API enabled on 127.0.0.1:0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rmdir(cert.c_str());
    unlink(cert.c_str());
    unlink(key.c_str());
    if (c.kind == Kind::kFile) {
      write_file(cert, c.text);
    } else if (c.kind == Kind::kDirectory) {
      ASSERT_EQ(mkdir(cert.c_str(), 0755), 0);
    }
    bool on = c.want.find("enabled on") != std::string::npos;
    if (on) {
      write_file(key, "KEY\n");  // the refused rows have no key either: the certificate comes first
    }
    StderrCapture cap;
    net_set_api(net_, api_in_dir("127.0.0.1", 0), nullptr, nullptr);
    std::string log = cap.text();
    std::string want = c.want;
    if (size_t at = want.find("%s"); at != std::string::npos) {
      want.replace(at, 2, cert);
    }
    EXPECT_LOG(log, on ? kInfo : kError, on ? want : want + hint);
    EXPECT_EQ(log.find(key), std::string::npos) << log;
    EXPECT_EQ(net_.api_enabled, on ? 1u : 0u);
    EXPECT_EQ(net_.api_listen_socket.valid(), on);
    EXPECT_EQ(net_.cert_pem.size(), on ? c.text.size() : 0u);
    net_stop_api(net_);
  }
  rmdir(cert.c_str());
}

// The any-addresses: the address text is the host and port (IPv6 in brackets); the socket is
// non-blocking, close-on-exec, reusable and listening, and the IPv6 one also takes IPv4 clients.
TEST_F(NetSupervisorTest, ApiAnyAddressesAndTheDualStackSocket) {
  write_file(dir_ + "/api.crt", "CERT\n");
  write_file(dir_ + "/api.key", "KEY\n");
  struct Case {
    const char* host;
    const char* want;
    int family;
  };
  const Case cases[] = {
      {"0.0.0.0", "vrk_sched: API enabled on 0.0.0.0:0", AF_INET},
      {"::", "vrk_sched: API enabled on [::]:0", AF_INET6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    StderrCapture cap;
    net_set_api(net_, api_in_dir(c.host, 0), nullptr, nullptr);
    EXPECT_LOG(cap.text(), kInfo, c.want);
    ASSERT_TRUE(net_.api_listen_socket.valid());
    int fd = net_.api_listen_socket.get();
    EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(int_option(fd, SOL_SOCKET, SO_DOMAIN), c.family);
    EXPECT_EQ(int_option(fd, SOL_SOCKET, SO_REUSEADDR), 1);
    EXPECT_EQ(int_option(fd, SOL_SOCKET, SO_ACCEPTCONN), 1);
    if (c.family == AF_INET6) {
      EXPECT_EQ(int_option(fd, IPPROTO_IPV6, IPV6_V6ONLY), 0);
    }
    // An IPv4 client reaches it (as a mapped address on the IPv6 socket).
    UniqueFd client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(bound_port(fd));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(client.get(), reinterpret_cast<struct sockaddr*>(&a), sizeof a), 0)
        << strerror(errno);
    net_stop_api(net_);
  }
}

// A port that is taken: the API stays off with the address in the message.
TEST_F(NetSupervisorTest, ApiListenErrors) {
  write_file(dir_ + "/api.crt", "CERT\n");
  write_file(dir_ + "/api.key", "KEY\n");
  struct Case {
    const char* host;
    int family;
    const char* shown;
  };
  const Case cases[] = {
      {"127.0.0.1", AF_INET, "127.0.0.1"},
      {"::1", AF_INET6, "[::1]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    uint16_t port = free_port();
    UniqueFd busy = occupy(c.family, c.host, port);
    ASSERT_TRUE(busy.valid());
    StderrCapture cap;
    net_set_api(net_, api_in_dir(c.host, port), nullptr, nullptr);
    EXPECT_LOG(cap.text(), kError,
               std::string("vrk_sched: API not started: cannot listen on ") + c.shown + ":" +
                   std::to_string(port) + ": Address already in use");
    EXPECT_EQ(net_.api_enabled, 0u);
    EXPECT_FALSE(net_.api_listen_socket.valid());
    EXPECT_TRUE(net_.cert_pem.empty());
    EXPECT_TRUE(net_.key_pem.empty());
    EXPECT_EQ(net_.api_address[0], '\0');
  }
}

// Everything of the request reaches the handler, and everything it answers reaches the network
// process unchanged (only the failed-login flag is carried as 0 or 1).
TEST_F(NetSupervisorTest, ApiHandlerContract) {
  static std::vector<uint8_t> big(kIpcResponseBodyMax, 'b');
  static const uint8_t kBinary[] = {'{', 0x00, 0xff, 0x80, '}'};
  struct Seen {
    std::string method, path, query, authorization, if_match, client, body;
    int calls = 0;
    ApiResponse answer;
  };
  struct Case {
    const char* name;
    ApiResponse answer;
    uint32_t want_flag;
  };
  ApiResponse full;
  full.status = 599;
  snprintf(full.etag, sizeof full.etag, "%s", std::string(kIpcEtagSize - 1, 'e').c_str());
  snprintf(full.signature, sizeof full.signature, "%s",
           std::string(kIpcSignatureSize - 1, 'f').c_str());
  full.failed_login = 7;
  full.body = big.data();
  full.body_length = static_cast<uint32_t>(big.size());
  ApiResponse small;
  small.status = 100;
  small.body = kBinary;
  small.body_length = sizeof kBinary;
  ApiResponse login;
  login.status = 401;
  snprintf(login.etag, sizeof login.etag, "W/\"x 1\"");
  login.failed_login = 1;
  const Case cases[] = {
      {"every field at its limit", full, 1},
      {"binary body, no ETag, no signature", small, 0},
      {"failed login without a body", login, 1},
  };
  attach_fake();
  net_.api_enabled = 1;
  net_.api_handler = [](void* ctx, const ApiRequest& req, ApiResponse& resp) {
    auto* s = static_cast<Seen*>(ctx);
    ++s->calls;
    s->method = req.method;
    s->path = req.path;
    s->query = req.query;
    s->authorization = req.authorization;
    s->if_match = req.if_match;
    s->client = req.client_address;
    s->body.assign(reinterpret_cast<const char*>(req.body), req.body_length);
    resp = s->answer;
    return -1;  // ignored
  };
  const std::string body = std::string("{\"a\":\"") + std::string(100, 'z') + "\"}\r\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Seen seen;
    seen.answer = c.answer;
    net_.api_context = &seen;
    ApiRequest req;
    snprintf(req.method, sizeof req.method, "POST");
    snprintf(req.path, sizeof req.path, "/api/v1/jobs/a%%20b");
    snprintf(req.query, sizeof req.query, "x=1&y=%%2F");
    snprintf(req.authorization, sizeof req.authorization, "Bearer reader.abc");
    snprintf(req.if_match, sizeof req.if_match, "\"v6\"");
    snprintf(req.client_address, sizeof req.client_address, "::1");
    req.body = reinterpret_cast<const uint8_t*>(body.data());
    req.body_length = static_cast<uint32_t>(body.size());
    ASSERT_EQ(ipc_build_api_request(buf_, 4294967295u, req), 0);
    from_child(buf_);
    StderrCapture cap;
    net_pump(net_);
    std::string log = cap.text();
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.method, "POST");
    EXPECT_EQ(seen.path, "/api/v1/jobs/a%20b");
    EXPECT_EQ(seen.query, "x=1&y=%2F");
    EXPECT_TRUE(seen.authorization == "Bearer reader.abc");
    EXPECT_EQ(seen.if_match, "\"v6\"");
    EXPECT_EQ(seen.client, "::1");
    EXPECT_EQ(seen.body, body);
    IpcMessage msg;
    ASSERT_TRUE(recv_message(peer_.get(), buf_, msg));
    EXPECT_EQ(msg.type, IpcType::kApiResponse);
    EXPECT_EQ(msg.id, 4294967295u);
    ApiResponse got;
    char err[128] = "";
    ASSERT_EQ(ipc_parse_api_response(msg, got, err), 0) << err;
    EXPECT_EQ(got.status, c.answer.status);
    EXPECT_STREQ(got.etag, c.answer.etag);
    EXPECT_STREQ(got.signature, c.answer.signature);
    EXPECT_EQ(got.failed_login, c.want_flag);
    ASSERT_EQ(got.body_length, c.answer.body_length);
    if (got.body_length > 0) {
      EXPECT_EQ(memcmp(got.body, c.answer.body, got.body_length), 0);
    }
    EXPECT_EQ(log.find("WARN"), std::string::npos) << log;
    EXPECT_TRUE(net_.socket.valid());
  }
  net_.api_enabled = 0;
}

// An answer outside the handler contract is not handed over: a warning, the request stays
// unanswered (the network process times it out), and the child is not blamed.
TEST_F(NetSupervisorTest, ApiResponseOutsideTheContractIsNotSent) {
  struct Case {
    const char* name;
    uint32_t status;
    const char* etag;
    const char* signature;
  };
  const Case cases[] = {
      {"status 99", 99, "", ""},
      {"status 600", 600, "", ""},
      {"status 0 (not filled in)", 0, "", ""},
      {"ETag with a tab", 200, "\"a\tb\"", ""},
      {"signature with a line feed", 200, "", "ab\ncd"},
  };
  attach_fake();
  net_.api_enabled = 1;
  net_.api_handler = [](void* ctx, const ApiRequest&, ApiResponse& resp) {
    const auto* c = static_cast<const Case*>(ctx);
    resp.status = c->status;
    snprintf(resp.etag, sizeof resp.etag, "%s", c->etag);
    snprintf(resp.signature, sizeof resp.signature, "%s", c->signature);
    return 0;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    net_.api_context = const_cast<Case*>(&c);
    request_from_child(3, "/", "127.0.0.1");
    StderrCapture cap;
    net_pump(net_);
    EXPECT_LOG(cap.text(), kWarn,
               "vrk_sched: could not hand an API response to vrk_sched_net (message too large or "
               "socket error)");
    EXPECT_FALSE(wait_readable(peer_.get(), 50));
    EXPECT_TRUE(net_.socket.valid());
  }
  net_.api_enabled = 0;
}

// Real children from here on: the fake program, then vrk_sched_net itself.
TEST_F(NetSupervisorTest, ApiReloadRestartsOnlyOnChange) {
  if (!can_start_children()) {
    GTEST_SKIP() << "running as root without the " << kNetAccount << " account";
  }
  write_file(dir_ + "/api.crt", "CERT\n");
  write_file(dir_ + "/api.key", "KEY\n");
  ApiSettings api = api_in_dir("127.0.0.1", 0);
  api.max_clients = 8;
  net_set_api(net_, api, nullptr, nullptr);
  ASSERT_GT(net_.pid, 0);
  pid_t first = net_.pid;
  int listen_fd = net_.api_listen_socket.get();
  EXPECT_EQ(args_of(first), "--ipc-fd 3 --listen-fd 4 ");

  net_set_api(net_, api, nullptr, nullptr);
  EXPECT_EQ(net_.pid, first) << "unchanged settings restarted the child";

  api.max_clients = 9;
  net_set_api(net_, api, nullptr, nullptr);
  EXPECT_NE(net_.pid, first);
  EXPECT_EQ(net_.api_listen_socket.get(), listen_fd);  // the port never closed
  EXPECT_EQ(net_.max_clients, 9u);

  // The API goes; mail is still wanted, so the child comes back without the socket.
  net_.mail = mail_to_port(2525);
  pid_t second = net_.pid;
  StderrCapture cap;
  net_stop_api(net_);
  EXPECT_LOG(cap.text(), kInfo, "vrk_sched: API stopped");
  EXPECT_FALSE(net_.api_listen_socket.valid());
  EXPECT_TRUE(net_.cert_pem.empty());
  ASSERT_GT(net_.pid, 0);
  EXPECT_NE(net_.pid, second);
  EXPECT_EQ(args_of(net_.pid), "--ipc-fd 3 ");
}

// Each reload against the running API: nothing changed keeps the child; max-clients, the
// certificate or the key restart it on the same listening socket; a new port or host gives a new
// socket. Every new child gets the socket as descriptor 4 and the current API_CONFIG.
TEST_F(NetSupervisorTest, ApiReloadKeepsOrReplacesTheSocket) {
  if (!can_start_children()) {
    GTEST_SKIP() << "running as root without the " << kNetAccount << " account";
  }
  // The child may run as the network account: it records into a directory anyone can write.
  std::string records = dir_ + "/records";
  ASSERT_EQ(mkdir(records.c_str(), 0755), 0);
  chmod(records.c_str(), 0777);
  setenv("VRK_FAKE_NET_RECORD", (records + "/rec").c_str(), 1);
  std::string cert = dir_ + "/api.crt";
  std::string key = dir_ + "/api.key";
  write_file(cert, "CERT 1\n");
  write_file(key, "KEY 1\n");
  uint16_t first_port = free_port();
  uint16_t second_port = free_port();
  ApiSettings api = api_in_dir("127.0.0.1", first_port);
  api.max_clients = 8;
  net_set_api(net_, api, nullptr, nullptr);
  ASSERT_GT(net_.pid, 0);
  ASSERT_TRUE(net_.api_listen_socket.valid());

  struct Case {
    const char* name;
    std::function<void()> change;
    bool restarts;
    bool same_socket;
    const char* host;
    uint16_t port;
  };
  const Case cases[] = {
      {"nothing changed", [] {}, false, true, "127.0.0.1", first_port},
      {"max-clients", [&] { api.max_clients = 1; }, true, true, "127.0.0.1", first_port},
      {"certificate", [&] { write_file(cert, "CERT 2\n"); }, true, true, "127.0.0.1", first_port},
      {"key", [&] { write_file(key, "KEY 2 longer\n"); }, true, true, "127.0.0.1", first_port},
      {"port", [&] { api.listen_port = second_port; }, true, false, "127.0.0.1", second_port},
      // The old child still holds the old socket: it must be gone before the new bind.
      {"host on the same port",
       [&] { snprintf(api.listen_address, sizeof api.listen_address, "0.0.0.0"); }, true, false,
       "0.0.0.0", second_port},
      {"IPv6 any on the same port",
       [&] { snprintf(api.listen_address, sizeof api.listen_address, "::"); }, true, false,
       "::", second_port},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    pid_t old = net_.pid;
    int old_socket = net_.api_listen_socket.get();
    c.change();
    StderrCapture cap;
    net_set_api(net_, api, nullptr, nullptr);
    std::string log = cap.text();
    std::string address = strchr(c.host, ':') != nullptr
                              ? "[" + std::string(c.host) + "]:" + std::to_string(c.port)
                              : c.host + std::string(":") + std::to_string(c.port);
    ASSERT_TRUE(net_.api_listen_socket.valid()) << log;
    EXPECT_EQ(bound_port(net_.api_listen_socket.get()), c.port);
    EXPECT_STREQ(net_.api_address, address.c_str());
    if (!c.restarts) {
      EXPECT_EQ(net_.pid, old);
      EXPECT_EQ(net_.api_listen_socket.get(), old_socket);
      EXPECT_EQ(log, "");
      continue;
    }
    EXPECT_LOG(log, kInfo, "vrk_sched: API enabled on " + address);
    errno = 0;
    EXPECT_EQ(kill(old, 0), -1);
    EXPECT_EQ(errno, ESRCH) << "the old child was not reaped";
    ASSERT_GT(net_.pid, 0);
    EXPECT_NE(net_.pid, old);
    if (c.same_socket) {
      EXPECT_EQ(net_.api_listen_socket.get(), old_socket);
    }
    uint16_t child_port = 0;
    ApiTlsConfig cfg;
    ASSERT_TRUE(recorded_api_config(net_.pid, child_port, cfg));
    EXPECT_EQ(child_port, c.port);
    EXPECT_EQ(cfg.max_clients, api.max_clients);
    EXPECT_TRUE(cfg.cert_pem.view() == net_.cert_pem.view());
    EXPECT_TRUE(cfg.key_pem.view() == net_.key_pem.view());
  }
  EXPECT_TRUE(net_.cert_pem.view() == "CERT 2\n");
  EXPECT_TRUE(net_.key_pem.view() == "KEY 2 longer\n");

  // Moving to a port that is taken turns the API off; mail keeps the child, without the socket.
  net_.mail = mail_to_port(2525);
  uint16_t busy_port = free_port();
  UniqueFd busy = occupy(AF_INET, "127.0.0.1", busy_port);
  ASSERT_TRUE(busy.valid());
  snprintf(api.listen_address, sizeof api.listen_address, "127.0.0.1");
  api.listen_port = busy_port;
  pid_t old = net_.pid;
  StderrCapture cap;
  net_set_api(net_, api, nullptr, nullptr);
  std::string log = cap.text();
  std::string refused =
      "vrk_sched: API not started: cannot listen on 127.0.0.1:" + std::to_string(busy_port) +
      ": Address already in use";
  EXPECT_LOG(log, kError, refused);
  EXPECT_LOG(log, kInfo, "vrk_sched: API stopped");
  EXPECT_LT(log.find(refused), log.find("vrk_sched: API stopped"));
  EXPECT_EQ(net_.api_enabled, 0u);
  EXPECT_FALSE(net_.api_listen_socket.valid());
  ASSERT_GT(net_.pid, 0);
  EXPECT_NE(net_.pid, old);
  EXPECT_EQ(args_of(net_.pid), "--ipc-fd 3 ");
  // The old port is free again.
  EXPECT_TRUE(occupy(AF_INET6, "::", second_port).valid());
  unsetenv("VRK_FAKE_NET_RECORD");
}

// A settings change restarts the child through one path, also from inside a pump (an API
// handler that changes the API): the old child is killed and reaped on the spot without a
// warning, the grown delay starts over, and the new child starts before the call returns.
TEST_F(NetSupervisorTest, SettingsChangesRestartTheChildAtOnce) {
  if (!can_start_children()) {
    GTEST_SKIP() << "running as root without the " << kNetAccount << " account";
  }
  write_file(dir_ + "/api.crt", "CERT\n");
  write_file(dir_ + "/api.key", "KEY\n");
  ApiSettings api = api_in_dir("127.0.0.1", 0);
  api.max_clients = 8;
  setenv("VRK_FAKE_NET_MODE", "idle", 1);
  net_.mail = mail_to_port(2525);  // still wanted once the API goes

  // The handler turns the API on while its own request is being served.
  struct Change {
    NetSupervisor* net;
    ApiSettings* api;
  } change = {&net_, &api};
  NetApiHandler changes_api = [](void* ctx, const ApiRequest&, ApiResponse& resp) {
    auto* c = static_cast<Change*>(ctx);
    net_set_api(*c->net, *c->api, nullptr, nullptr);
    resp.status = 200;
    return 0;
  };
  struct Case {
    const char* name;
    std::function<void()> change;
    std::string first;  // the line before the start
    bool api_after;
  };
  const Case cases[] = {
      {"API on from inside a request",
       [&] {
         ApiRequest req;
         snprintf(req.method, sizeof req.method, "PUT");
         snprintf(req.path, sizeof req.path, "/api/v1/settings");
         snprintf(req.client_address, sizeof req.client_address, "127.0.0.1");
         ASSERT_EQ(ipc_build_api_request(buf_, 12, req), 0);
         from_child(buf_);
         net_pump(net_);
       },
       "vrk_sched: API enabled on 127.0.0.1:0", true},
      {"max-clients changed",
       [&] {
         api.max_clients = 9;
         net_set_api(net_, api, nullptr, nullptr);
       },
       "vrk_sched: API enabled on 127.0.0.1:0", true},
      {"API off", [&] { net_stop_api(net_); }, "vrk_sched: API stopped", false},
  };
  attach_fake();
  net_.wanted = 1;
  net_.api_enabled = 1;
  net_.api_handler = changes_api;
  net_.api_context = &change;
  std::string who = geteuid() == 0 ? kNetAccount : "the current user (not root)";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    pid_t old = net_.pid;
    net_.restart_delay = 80;  // grown by earlier failures
    StderrCapture cap;
    c.change();
    std::string log = cap.text();
    errno = 0;
    EXPECT_EQ(kill(old, 0), -1);
    EXPECT_EQ(errno, ESRCH) << "the old child was not reaped";
    std::erase(fakes_, old);
    ASSERT_GT(net_.pid, 0);
    EXPECT_NE(net_.pid, old);
    EXPECT_TRUE(net_.socket.valid());
    EXPECT_EQ(net_.restart_at, 0);
    EXPECT_EQ(net_.restart_delay, 5u);
    std::string started =
        "vrk_sched: started network process vrk_sched_net pid=" + std::to_string(net_.pid) +
        " as " + who + (c.api_after ? ", API on 127.0.0.1:0" : "");
    EXPECT_LOG(log, kInfo, c.first);
    EXPECT_LOG(log, kInfo, started);
    EXPECT_LT(log.find(c.first), log.find(started));
    EXPECT_EQ(log.find(" WARN "), std::string::npos) << log;
  }
  // The answer to the request that changed the API belonged to the old child: never sent.
  char byte;
  EXPECT_EQ(recv(peer_.get(), &byte, 1, MSG_DONTWAIT), 0);
}

TEST_F(NetSupervisorTest, MisbehavingChildren) {
  if (!can_start_children()) {
    GTEST_SKIP() << "running as root without the " << kNetAccount << " account";
  }
  struct Case {
    const char* mode;
    const char* want;  // %d is the child's pid, %n the pid one above it
    bool stays;
  };
  const Case cases[] = {
      {"wrong_pid", "vrk_sched: network process HELLO names pid %n, expected %d", true},
      {"mail_send", "vrk_sched: network process pid=%d sent a message type it may not send: killed",
       false},
      {"oversized", "vrk_sched: network process pid=%d sent an oversized message: killed", false},
      {"exit3", "vrk_sched: network process pid=%d exited (status=768)", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    setenv("VRK_FAKE_NET_MODE", c.mode, 1);
    net_init(net_);
    StderrCapture cap;
    ASSERT_EQ(net_start(net_), 0);
    pid_t pid = net_.pid;
    std::string want = c.want;
    want.replace(want.find("%d"), 2, std::to_string(pid));
    if (size_t at = want.find("%n"); at != std::string::npos) {
      want.replace(at, 2, std::to_string(pid + 1));
    }
    int64_t until = clock_monotonic_ms() + 5000;
    while (clock_monotonic_ms() < until && !has_line(cap.peek(), kWarn, want)) {
      net_wait(net_, 50);
    }
    std::string log = cap.text();
    EXPECT_LOG(log, kWarn, want);
    EXPECT_EQ(net_.socket.valid(), c.stays);
    if (c.stays) {
      EXPECT_EQ(net_.pid, pid);
    }
    net_shutdown(net_);
  }
}

TEST_F(NetSupervisorTest, ShutdownKillsAfterGracePeriod) {
  if (!can_start_children()) {
    GTEST_SKIP() << "running as root without the " << kNetAccount << " account";
  }
  setenv("VRK_FAKE_NET_MODE", "silent", 1);
  ASSERT_EQ(net_start(net_), 0);
  pid_t pid = net_.pid;
  int64_t t0 = clock_monotonic_ms();
  net_shutdown(net_);
  int64_t took = clock_monotonic_ms() - t0;
  EXPECT_EQ(net_.pid, -1);
  EXPECT_GE(took, 4900);
  EXPECT_LT(took, 15000);
  EXPECT_NE(kill(pid, 0), 0);  // reaped
}

TEST_F(NetSupervisorTest, RealNetworkProcessReportsAFailedMail) {
  if (!can_start_children()) {
    GTEST_SKIP() << "running as root without the " << kNetAccount << " account";
  }
  setenv("VRK_SCHED_NET_BIN", VRK_SCHED_NET_PATH, 1);
  // A port nobody listens on: the connection is refused at once.
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t alen = sizeof a;
  ASSERT_EQ(bind(probe, reinterpret_cast<struct sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(getsockname(probe, reinterpret_cast<struct sockaddr*>(&a), &alen), 0);
  close(probe);

  StderrCapture cap;
  net_set_mail(net_, mail_to_port(ntohs(a.sin_port)));
  ASSERT_GT(net_.pid, 0);
  pid_t pid = net_.pid;
  uint32_t id = net_send_mail(net_, "backup done", "body\n");
  ASSERT_NE(id, 0u);
  char text[kNetMailTextSize];
  EXPECT_EQ(net_wait_mail(net_, id, 20, text), -1);
  EXPECT_NE(text[0], '\0');
  EXPECT_EQ(net_.pid, pid);
  int64_t t0 = clock_monotonic_ms();
  net_shutdown(net_);
  EXPECT_LT(clock_monotonic_ms() - t0, 3000) << "the child did not leave at the end of stream";
  std::string log = cap.text();
  std::string who = geteuid() == 0 ? kNetAccount : "the current user (not root)";
  EXPECT_LOG(
      log, kInfo,
      "vrk_sched: started network process vrk_sched_net pid=" + std::to_string(pid) + " as " + who);
  EXPECT_LOG(log, kError, "vrk_sched: mail #" + std::to_string(id) + " not sent: " + text);
  EXPECT_EQ(log.find("killed"), std::string::npos) << log;
  EXPECT_EQ(log.find("HELLO names"), std::string::npos) << log;
}

TEST_F(NetSupervisorTest, EmptyProgramVariableMeansBesideOurselves) {
  if (!can_start_children()) {
    GTEST_SKIP() << "running as root without the " << kNetAccount << " account";
  }
  // The tests are built into the same directory as vrk_sched_net.
  setenv("VRK_SCHED_NET_BIN", "", 1);
  StderrCapture cap;
  ASSERT_EQ(net_start(net_), 0);
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  std::string want = std::string(self);
  want = want.substr(0, want.rfind('/')) + "/vrk_sched_net";
  char exe[4096] = {};
  std::string link = "/proc/" + std::to_string(net_.pid) + "/exe";
  for (int i = 0; i < 100 && std::string(exe) != want; ++i) {
    memset(exe, 0, sizeof exe);
    if (readlink(link.c_str(), exe, sizeof exe - 1) < 0) {
      break;
    }
    usleep(20000);
  }
  EXPECT_EQ(std::string(exe), want);
}

// The SMTP test server of the network process's tests, on a free loopback port.
struct SmtpServer {
  pid_t pid = -1;
  UniqueFd input;  // closing it stops the server
  int port = 0;
};

// 0 with the port, 3 when the SMTP library is missing, -1 on any other failure.
int start_smtp_server(SmtpServer& s, const std::string& dir, const char* delay) {
  const std::string script = VRK_SMTP_SERVER_SCRIPT;
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
    return -1;
  }
  s.pid = fork();
  if (s.pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    execl("/usr/bin/python3", "python3", script.c_str(), "--mode", "plain", "--dir", dir.c_str(),
          "--delay", delay, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  s.input.reset(in[1]);
  UniqueFd output(out[0]);
  std::string line;
  while (line.find('\n') == std::string::npos && wait_readable(output.get(), 20000)) {
    char buf[64];
    ssize_t n = read(output.get(), buf, sizeof buf);
    if (n <= 0) {
      int status = 0;
      waitpid(s.pid, &status, 0);
      s.pid = -1;
      return WIFEXITED(status) && WEXITSTATUS(status) == 3 ? 3 : -1;
    }
    line.append(buf, static_cast<size_t>(n));
  }
  return sscanf(line.c_str(), "PORT %d", &s.port) == 1 ? 0 : -1;
}

void stop_smtp_server(SmtpServer& s) {
  s.input.reset();
  if (s.pid > 0) {
    waitpid(s.pid, nullptr, 0);
    s.pid = -1;
  }
}

// A burst far beyond what the server takes at once (it holds each message for 0.1 s): every
// mail is delivered once, every result comes back, and the network process is never restarted.
// Takes about 20 s: the transfer library waits for each final reply in turn.
TEST_F(NetSupervisorTest, BurstOfTwoHundredMailsWithASlowServer) {
  if (!can_start_children()) {
    GTEST_SKIP() << "running as root without the " << kNetAccount << " account";
  }
  constexpr int kMails = 200;
  std::string mails = dir_ + "/mails";
  ASSERT_EQ(mkdir(mails.c_str(), 0755), 0);
  SmtpServer server;
  int rc = start_smtp_server(server, mails, "0.1");
  if (rc == 3) {
    GTEST_SKIP() << "aiosmtpd is not installed";
  }
  ASSERT_EQ(rc, 0);
  setenv("VRK_SCHED_NET_BIN", VRK_SCHED_NET_PATH, 1);

  struct Results {
    std::vector<int> seen = std::vector<int>(kMails + 16, 0);
    int ok = 0;
    int failed = 0;
    std::string first_failure;
  } results;
  net_.mail_result_context = &results;
  net_.mail_result_hook = [](void* ctx, uint32_t id, uint32_t status, const char* text) {
    auto* r = static_cast<Results*>(ctx);
    if (id < r->seen.size()) {
      ++r->seen[id];
    }
    if (status == 0) {
      ++r->ok;
    } else if (r->failed++ == 0) {
      r->first_failure = text;
    }
  };
  StderrCapture cap;  // a few hundred log lines
  MailSettings m = mail_to_port(static_cast<uint32_t>(server.port));
  m.timeout_seconds = 60;
  net_set_mail(net_, m);
  ASSERT_GT(net_.pid, 0);
  pid_t child = net_.pid;

  int64_t t0 = clock_monotonic_ms();
  std::vector<uint32_t> ids;
  std::string body = "Job:       load\n" + std::string(2000, 'x') + "\n";
  for (int i = 0; i < kMails; ++i) {
    char subject[64];
    snprintf(subject, sizeof subject, "load mail %03d", i);
    uint32_t id = net_send_mail(net_, subject, body.c_str());
    if (id != 0) {
      ids.push_back(id);
    }
  }
  int64_t handed = clock_monotonic_ms() - t0;
  int64_t deadline = clock_monotonic_ms() + 120000;
  while (results.ok + results.failed < kMails && clock_monotonic_ms() < deadline &&
         net_.socket.valid()) {
    net_wait(net_, 200);
  }
  int64_t all_back = clock_monotonic_ms() - t0;
  std::string log = cap.text();
  EXPECT_EQ(net_.pid, child) << "the network process was restarted";
  EXPECT_EQ(ids.size(), static_cast<size_t>(kMails));
  EXPECT_EQ(results.ok, kMails) << "first failure: " << results.first_failure;
  for (uint32_t id : ids) {
    EXPECT_EQ(results.seen[id], 1) << "mail #" << id;
  }

  // Every subject arrived exactly once.
  std::vector<int> arrived(kMails, 0);
  for (int n = 1; n <= kMails + 5; ++n) {
    char name[32];
    snprintf(name, sizeof name, "/%04d.eml", n);
    FILE* f = fopen((mails + name).c_str(), "rb");
    if (f == nullptr) {
      continue;
    }
    char line[256];
    while (fgets(line, sizeof line, f) != nullptr) {
      int k = -1;
      if (sscanf(line, "Subject: load mail %d", &k) == 1 && k >= 0 && k < kMails) {
        ++arrived[k];
        break;
      }
    }
    fclose(f);
  }
  for (int k = 0; k < kMails; ++k) {
    EXPECT_EQ(arrived[k], 1) << "load mail " << k;
  }
  printf(
      "burst of %d mails: handed over in %lld ms, all results back after %lld ms "
      "(%d delivered, %d failed)\n",
      kMails, static_cast<long long>(handed), static_cast<long long>(all_back), results.ok,
      results.failed);
  net_shutdown(net_);
  stop_smtp_server(server);
}

}  // namespace
}  // namespace vrk
