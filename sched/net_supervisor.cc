#include "sched/net_supervisor.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <new>
#include <vector>

#include "common/clock.h"
#include "common/ipc.h"
#include "common/localzone.h"
#include "common/log.h"
#include "common/privileges.h"
#include "common/runlog.h"
#include "common/scope_exit.h"
#include "common/text.h"

extern char** environ;

namespace vrk {
namespace {

constexpr size_t kPathSize = 4096;  // program path, at most 4095 bytes
constexpr int kMaxMessagesPerPump = 32;
constexpr int kSendBufferBytes = 1048576;
constexpr int kChildFdFloor = 10;  // descriptors are parked here before they move to 3 and 4
constexpr rlim_t kBaseFdLimit = 64;
constexpr int kCloseFallbackMax = 65536;
constexpr int kChildSetupFailed = 126;
constexpr int kChildExecFailed = 127;
constexpr int64_t kRanLongSeconds = 59;  // a child that ran longer is restarted after 5 s
constexpr uint32_t kRanLongNextDelay = 10;
constexpr int kShutdownTries = 50;
constexpr int kShutdownPauseMs = 100;

// Everything the child needs, prepared before fork so that the child only makes system calls.
struct ChildPlan {
  char path[kPathSize] = {};
  char* argv[6 + kRunlogForwardMax] = {};
  int child_end = -1;
  int parent_end = -1;
  int listen_fd = -1;  // -1 without the API
  rlim_t fd_limit = kBaseFdLimit;
  pid_t parent = 0;
  bool as_root = false;
  char* const* env = nullptr;
};

// Program path: VRK_SCHED_NET_BIN when set and not empty, else beside our own executable.
// 0, or -1 with the best path we have for the message.
int program_path(char (&path)[kPathSize]) {
  const char* env = getenv("VRK_SCHED_NET_BIN");
  if (env != nullptr && env[0] != '\0') {
    text_copy_cut(path, env);
    if (strlen(env) >= sizeof path || access(path, X_OK) != 0) {
      return -1;
    }
    return 0;
  }
  char self[kPathSize] = {};
  ssize_t n = readlink("/proc/self/exe", self, sizeof self);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof self) {
    // Without our own path there is no candidate: name the program itself.
    text_copy_cut(path, kNetProgram);
    return -1;
  }
  self[n] = '\0';
  char* slash = strrchr(self, '/');
  if (slash != nullptr) {
    *slash = '\0';
  }
  int len = snprintf(path, sizeof path, "%s/%s", self, kNetProgram);
  if (len < 0 || static_cast<size_t>(len) >= sizeof path) {
    return -1;
  }
  return access(path, X_OK) == 0 ? 0 : -1;
}

// Closes every descriptor from first upwards; one by one when close_range is not available.
void close_from(int first) {
  if (close_range(static_cast<unsigned>(first), ~0U, 0) == 0) {
    return;
  }
  struct rlimit lim = {};
  int last = kCloseFallbackMax;
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY &&
      lim.rlim_cur < static_cast<rlim_t>(kCloseFallbackMax)) {
    last = static_cast<int>(lim.rlim_cur);
  }
  for (int fd = first; fd < last; ++fd) {
    close(fd);
  }
}

// The forked child: the fixed steps in their fixed order, then exec. It ends with _exit, so
// none of the parent's exit handlers (the run log's "stopped" entry) run here.
[[noreturn]] void run_child(const ChildPlan& plan) {
  close(plan.parent_end);
  int ipc = fcntl(plan.child_end, F_DUPFD_CLOEXEC, kChildFdFloor);
  if (ipc < 0) {
    _exit(kChildSetupFailed);
  }
  int listen = -1;
  if (plan.listen_fd >= 0) {
    listen = fcntl(plan.listen_fd, F_DUPFD_CLOEXEC, kChildFdFloor);
    if (listen < 0) {
      _exit(kChildSetupFailed);
    }
  }
  // dup2 clears close-on-exec on the target: these two are the only ones the program keeps.
  if (dup2(ipc, kNetIpcFd) != kNetIpcFd) {
    _exit(kChildSetupFailed);
  }
  if (listen >= 0 && dup2(listen, kNetListenFd) != kNetListenFd) {
    _exit(kChildSetupFailed);
  }
  close_from(listen >= 0 ? kNetListenFd + 1 : kNetIpcFd + 1);

  struct rlimit no_core = {0, 0};
  struct rlimit fds = {plan.fd_limit, plan.fd_limit};
  if (setrlimit(RLIMIT_CORE, &no_core) != 0 || setrlimit(RLIMIT_NOFILE, &fds) != 0) {
    _exit(kChildSetupFailed);
  }
  int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null_fd < 0) {
    _exit(kChildSetupFailed);
  }
  if (null_fd != STDIN_FILENO) {
    if (dup2(null_fd, STDIN_FILENO) != STDIN_FILENO) {
      _exit(kChildSetupFailed);
    }
    close(null_fd);
  } else {
    fcntl(STDIN_FILENO, F_SETFD, 0);
  }
  if (plan.as_root && drop_privileges(kNetAccount) != 0) {
    _exit(kChildSetupFailed);
  }
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
    _exit(kChildSetupFailed);
  }
  // The scheduler may have died before the death signal was armed.
  if (getppid() != plan.parent) {
    _exit(kChildSetupFailed);
  }
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(SIGPIPE, &dfl, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execve(plan.path, plan.argv, plan.env);
  _exit(kChildExecFailed);
}

// Builds one settings message in a fresh buffer (wiped and freed on return) and sends it
// without blocking. 0, or -1 when it could not be built or sent.
template <typename Build>
int send_fresh(NetSupervisor& net, Build build) {
  IpcBufferPtr buf = ipc_buffer_new();
  if (!buf) {
    return -1;
  }
  if (build(*buf) != 0) {
    return -1;
  }
  return ipc_send(net.socket.get(), *buf, true);
}

void send_mail_config(NetSupervisor& net) {
  uint32_t id = net_next_message_id(net);
  if (send_fresh(net, [&](IpcBuffer& b) { return ipc_build_mail_config(b, id, net.mail); }) != 0) {
    log_msg(kLogWarn, "vrk_sched: could not hand the [mail] settings to vrk_sched_net");
  }
}

void send_api_config(NetSupervisor& net) {
  uint32_t id = net_next_message_id(net);
  if (send_fresh(net, [&](IpcBuffer& b) {
        return ipc_build_api_config(b, id, net.cert_pem.view(), net.key_pem.view(),
                                    net.max_clients);
      }) != 0) {
    log_msg(kLogWarn, "vrk_sched: could not hand the API certificate to vrk_sched_net");
  }
}

// The child's life in one place: net_start starts it, net_child_stop_now and
// net_child_restart_now end or restart it after a settings change, and the functions from here
// to net_child_stop are the only others that schedule its restart, lose, kill, reap or stop it.

// After every failure event: a child that ran a minute or more comes back after 5 s; otherwise
// the delay grows. A failed start counts as a short run whatever ran before it, or a program
// that keeps failing to start would be retried every 5 s for ever.
void net_child_restart_later(NetSupervisor& net, bool child_ran) {
  int64_t now = clock_unix_now();
  if (child_ran && net.started_at != 0 && now - net.started_at > kRanLongSeconds) {
    net.restart_at = now + kNetFirstRestartDelay;
    net.restart_delay = kRanLongNextDelay;
    return;
  }
  net.restart_at = now + net.restart_delay;
  net.restart_delay = std::min(net.restart_delay * 2, kNetMaxRestartDelay);
}

void log_event(const NetSupervisor& net, const char* event) {
  log_msg(kLogWarn, "vrk_sched: network process pid=%d %s", static_cast<int>(net.pid), event);
}

// A failure event: the connection is closed, the event logged and a restart scheduled. The
// child itself is left to the next reap.
void net_child_lost(NetSupervisor& net, const char* event) {
  net.socket.reset();
  log_event(net, event);
  net_child_restart_later(net, true);
}

// The answer to every protocol violation: the child is not trusted with a second chance.
void net_child_kill(NetSupervisor& net, const char* event) {
  net.socket.reset();
  if (net.pid > 0) {
    kill(net.pid, SIGKILL);
  }
  net_child_lost(net, event);
}

// Reaps the child without waiting. An exit the socket has not told us about yet is a failure
// event of its own; after a loss or a kill the event has been logged already.
void net_child_reap_if_gone(NetSupervisor& net) {
  if (net.pid <= 0) {
    return;
  }
  int status = 0;
  pid_t r = waitpid(net.pid, &status, WNOHANG);
  if (r == 0 || (r < 0 && errno != ECHILD)) {
    return;
  }
  if (r < 0) {
    status = -1;  // not our child any more: nothing left to wait for
  }
  if (net.socket.valid()) {
    net.socket.reset();
    log_msg(kLogWarn, "vrk_sched: network process pid=%d exited (status=%d)",
            static_cast<int>(net.pid), status);
    net_child_restart_later(net, true);
  }
  net.pid = -1;
}

// Starts the child once it is gone, wanted and due; a failed start schedules the next try.
void net_child_start_when_due(NetSupervisor& net) {
  if (net.pid > 0 || net.wanted == 0) {
    return;
  }
  if (!net.socket.valid() && clock_unix_now() >= net.restart_at) {
    if (net_start(net) != 0) {
      net_child_restart_later(net, false);
    }
  }
}

void kill_and_reap(pid_t pid) {
  kill(pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// The end of the child at shutdown: it sees the end of the stream and leaves on its own within
// 5 s, or is killed.
void net_child_stop(NetSupervisor& net) {
  net.socket.reset();
  if (net.pid > 0) {
    bool gone = false;
    for (int i = 0; i < kShutdownTries && !gone; ++i) {
      pid_t r = waitpid(net.pid, nullptr, WNOHANG);
      if (r == net.pid || (r < 0 && errno == ECHILD)) {
        gone = true;
      } else {
        poll(nullptr, 0, kShutdownPauseMs);
      }
    }
    if (!gone) {
      kill_and_reap(net.pid);
    }
  }
  net.pid = -1;
}

void on_hello(NetSupervisor& net, const IpcMessage& msg) {
  uint32_t pid = 0;
  char err[kNetMailTextSize] = "";
  if (ipc_parse_hello(msg, pid, err) != 0) {
    net_child_kill(net, "sent a bad HELLO: killed");
    return;
  }
  if (pid != static_cast<uint32_t>(net.pid)) {
    log_msg(kLogWarn, "vrk_sched: network process HELLO names pid %u, expected %d", pid,
            static_cast<int>(net.pid));
  }
}

void on_mail_result(NetSupervisor& net, const IpcMessage& msg) {
  uint32_t status = 0;
  char text[kNetMailTextSize] = "";
  char err[kNetMailTextSize] = "";
  if (ipc_parse_mail_result(msg, status, text, err) != 0) {
    net_child_kill(net, "sent a bad MAIL_RESULT: killed");
    return;
  }
  net.last_mail_id = msg.id;
  net.last_mail_status = status;
  text_copy_cut(net.last_mail_text, text);
  if (status != 0) {
    log_msg(kLogError, "vrk_sched: mail #%u not sent: %s", msg.id, text);
  } else {
    log_msg(kLogInfo, "vrk_sched: mail #%u sent", msg.id);
  }
  if (net.mail_result_hook != nullptr) {
    net.mail_result_hook(net.mail_result_context, msg.id, status, text);
  }
}

void on_api_request(NetSupervisor& net, const IpcMessage& msg) {
  ApiRequest req;
  ScopeExit wipe([&] { ipc_api_request_wipe(req); });
  char err[kNetMailTextSize] = "";
  if (ipc_parse_api_request(msg, req, err) != 0) {
    log_msg(kLogWarn, "vrk_sched: %s", err);
    net_child_kill(net, "sent a bad API_REQUEST: killed");
    return;
  }
  net_answer_api_request(net, msg.id, req);
}

// The only message types the network process may send; everything else ends it.
struct Accepted {
  IpcType type;
  void (*handle)(NetSupervisor&, const IpcMessage&);
};
constexpr Accepted kAcceptedFromChild[] = {
    {IpcType::kHello, on_hello},
    {IpcType::kMailResult, on_mail_result},
    {IpcType::kApiRequest, on_api_request},
};

void dispatch(NetSupervisor& net) {
  IpcMessage msg;
  if (ipc_parse_header(*net.rx, msg) != 0) {
    net_child_kill(net, "sent a malformed message: killed");
    return;
  }
  for (const Accepted& a : kAcceptedFromChild) {
    if (a.type == msg.type) {
      a.handle(net, msg);
      return;
    }
  }
  net_child_kill(net, "sent a message type it may not send: killed");
}

void read_messages(NetSupervisor& net) {
  if (!net.rx) {
    net.rx = ipc_buffer_new();
    if (!net.rx) {
      return;
    }
  }
  // A handler may close or replace the socket (an API change inside a request): stop then.
  const int sock = net.socket.get();
  for (int i = 0; i < kMaxMessagesPerPump && net.socket.valid() && net.socket.get() == sock; ++i) {
    int rc = ipc_recv(net.socket.get(), *net.rx, true);
    if (rc == kIpcRecvNothing) {
      break;
    }
    if (rc == kIpcRecvClosed) {
      net_child_lost(net, "closed the connection");
      break;
    }
    if (rc == kIpcRecvOversized) {
      net_child_kill(net, "sent an oversized message: killed");
      break;
    }
    dispatch(net);
    // The buffer may have held an Authorization header.
    ipc_buffer_wipe(*net.rx);
  }
}

void drop_api_state(NetSupervisor& net) {
  net.api_enabled = 0;
  net.api_listen_socket.reset();
  net.api_address[0] = '\0';
  net.cert_pem.clear();
  net.key_pem.clear();
}

void wipe_mail(NetSupervisor& net) {
  secret_wipe(net.mail);
}

}  // namespace

void net_init(NetSupervisor& net) {
  drop_api_state(net);
  wipe_mail(net);
  NetSupervisor fresh;
  net = std::move(fresh);
}

uint32_t net_next_message_id(NetSupervisor& net) {
  uint32_t id = net.next_message_id++;
  if (id == 0) {
    id = net.next_message_id++;
  }
  return id;
}

int net_start(NetSupervisor& net) {
  ChildPlan plan;
  if (program_path(plan.path) != 0) {
    log_msg(kLogError, "vrk_sched: network process binary %s not found: no mail, no API",
            plan.path);
    return -1;
  }
  plan.as_root = geteuid() == 0;
  if (plan.as_root) {
    struct passwd pw = {};
    struct passwd* found = nullptr;
    char buf[4096];
    if (getpwnam_r(kNetAccount, &pw, buf, sizeof buf, &found) != 0 || found == nullptr) {
      log_msg(kLogError,
              "vrk_sched: the '%s' account does not exist (run 'vrk_setup --repair'): no mail, "
              "no API",
              kNetAccount);
      return -1;
    }
  }
  int pair[2] = {-1, -1};
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
    log_msg(kLogError, "vrk_sched: socketpair failed: %s", strerror(errno));
    return -1;
  }
  UniqueFd parent_end(pair[0]);
  UniqueFd child_end(pair[1]);
  // Room for a burst of mails: sends never block, so a full buffer drops the message.
  int sndbuf = kSendBufferBytes;
  setsockopt(parent_end.get(), SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  plan.parent_end = parent_end.get();
  plan.child_end = child_end.get();
  bool api = net.api_enabled != 0 && net.api_listen_socket.valid();
  plan.listen_fd = api ? net.api_listen_socket.get() : -1;
  plan.fd_limit = api ? static_cast<rlim_t>(net.max_clients) + kBaseFdLimit : kBaseFdLimit;
  plan.parent = getpid();
  static auto arg0 = std::to_array(kNetProgram);
  static auto arg_ipc = std::to_array(kNetIpcFdOption);
  static auto arg_ipc_fd = std::to_array(kNetIpcFdWord);
  static auto arg_listen = std::to_array(kNetListenFdOption);
  static auto arg_listen_fd = std::to_array(kNetListenFdWord);
  int a = 0;
  plan.argv[a++] = arg0.data();
  plan.argv[a++] = arg_ipc.data();
  plan.argv[a++] = arg_ipc_fd.data();
  if (api) {
    plan.argv[a++] = arg_listen.data();
    plan.argv[a++] = arg_listen_fd.data();
  }
  // The child logs the way we were told to (--no-syslog, --no-log, masks, log path).
  char* logging[kRunlogForwardMax] = {};
  int n = runlog_logging_words(logging);
  for (int i = 0; i < n; ++i) {
    plan.argv[a++] = logging[i];
  }
  plan.argv[a] = nullptr;

  // Our environment without a TZ we added only for our own conversions. Should the copy not
  // fit in memory, the inherited one differs from it by nothing but that entry.
  std::vector<char*> env;
  plan.env = environ;
  try {
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
      if (!localzone_hides_entry(*e)) {
        env.push_back(*e);
      }
    }
    env.push_back(nullptr);
    plan.env = env.data();
  } catch (const std::bad_alloc&) {
  }

  fflush(nullptr);  // or buffered output would be written twice
  pid_t pid = fork();
  if (pid < 0) {
    int e = errno;
    parent_end.reset();
    child_end.reset();
    log_msg(kLogError, "vrk_sched: fork failed: %s", strerror(e));
    return -1;
  }
  if (pid == 0) {
    run_child(plan);  // never returns, so no owner above closes anything in the child
  }
  child_end.reset();
  net.pid = pid;
  net.socket = std::move(parent_end);
  net.started_at = clock_unix_now();
  log_msg(kLogInfo, "vrk_sched: started network process vrk_sched_net pid=%d as %s%s%s",
          static_cast<int>(pid), plan.as_root ? kNetAccount : "the current user (not root)",
          api ? ", API on " : "", api ? net.api_address : "");
  if (net.mail.enabled != 0) {
    send_mail_config(net);
  }
  if (api) {
    send_api_config(net);
  }
  return 0;
}

void net_pump(NetSupervisor& net) {
  if (net.pumping != 0) {
    return;
  }
  net.pumping = 1;
  ScopeExit done([&] { net.pumping = 0; });
  read_messages(net);
  net_child_reap_if_gone(net);
  net_child_start_when_due(net);
}

void net_wait(NetSupervisor& net, int timeout_ms) {
  if (timeout_ms < 0) {
    timeout_ms = 0;
  }
  if (net.socket.valid()) {
    struct pollfd p = {net.socket.get(), POLLIN, 0};
    poll(&p, 1, timeout_ms);  // EINTR: the caller's stop flag is checked sooner
  } else {
    poll(nullptr, 0, timeout_ms);
  }
  net_pump(net);
}

void net_set_mail(NetSupervisor& net, const MailSettings& mail) {
  wipe_mail(net);
  net.mail = mail;
  if (net.mail.enabled == 0) {
    // Only wiped here; a running child is neither told nor stopped, but with the API off it
    // is no longer restarted when it ends.
    net.wanted = net.api_enabled;
    return;
  }
  bool was_wanted = net.wanted != 0;
  if (!was_wanted) {
    net.wanted = 1;
    net.restart_at = 0;
  }
  if (net.socket.valid()) {
    send_mail_config(net);
  }
  if (!was_wanted) {
    net_pump(net);
  }
}

void net_stop_api(NetSupervisor& net) {
  bool was_enabled = net.api_enabled != 0;
  drop_api_state(net);
  if (!was_enabled) {
    return;
  }
  log_msg(kLogInfo, "vrk_sched: API stopped");
  net.wanted = net.mail.enabled;
  net_child_restart_now(net);
}

void net_child_stop_now(NetSupervisor& net) {
  net.socket.reset();
  if (net.pid > 0) {
    kill_and_reap(net.pid);
    net.pid = -1;
  }
}

void net_child_restart_now(NetSupervisor& net) {
  net_child_stop_now(net);
  net.restart_at = 0;
  net.restart_delay = kNetFirstRestartDelay;
  if (net.wanted != 0) {
    net_pump(net);
  }
}

void net_shutdown(NetSupervisor& net) {
  net.wanted = 0;
  drop_api_state(net);
  net_child_stop(net);
  wipe_mail(net);
  net.rx.reset();
  net.tx.reset();
}

}  // namespace vrk
