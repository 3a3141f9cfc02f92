#include "net/net_loop.h"

#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <vector>

#include <curl/curl.h>

#include "common/cli.h"
#include "common/clock.h"
#include "common/handles.h"
#include "common/ipc.h"
#include "common/log.h"
#include "common/mail_settings.h"
#include "common/net_names.h"
#include "common/runlog.h"
#include "common/scope_exit.h"
#include "common/secret_text.h"
#include "common/selftest.h"
#include "common/text.h"
#include "net/api_server.h"
#include "net/mail_compose.h"
#include "net/mail_transfer.h"
#include "net/sandbox.h"

namespace vrk {

namespace {

const CliOption kNetOptions[] = {
    {kNetIpcFdOption, nullptr, true},
    {kNetListenFdOption, nullptr, true},
    {},
};

// The wait never lasts longer, so connection time-outs are seen without traffic.
constexpr int kWaitCeilingMs = 1000;
// IPC messages taken per pass, so connections and transfers are not starved.
constexpr int kIpcPerPass = 64;
// Entry 0 is the IPC socket; the HTTPS server may add up to 299 more.
constexpr int kWaitSetSize = 300;
// Transfers in the multi handle at once; later mails wait their turn in arrival order. Each
// active transfer holds a connection (the process may have only 64 descriptors), and libcurl
// waits for the reply to the end of a message inside curl_multi_perform, so a burst started
// all at once would run out of descriptors and time out behind those waits. A waiting mail's
// time-out only starts when it enters the multi handle.
constexpr size_t kMailMaxActive = 8;
// Mails allowed to wait; beyond that a mail is refused at once rather than held in memory.
constexpr size_t kMailMaxWaiting = 512;
// Parser texts (MAIL_CONFIG's are up to 512 bytes).
constexpr size_t kParseErrSize = 512;

// What the loop returns to keep going; every other value is an exit status.
constexpr int kContinue = -1;

// Process-wide state of the main loop. Large buffers live here, on the heap.
struct NetState {
  int ipc_fd = -1;
  int listen_fd = -1;
  std::unique_ptr<ApiServer> api;  // only with a listening socket
  CurlMultiPtr multi;
  std::vector<MailTransferPtr> transfers;  // in the multi handle
  std::deque<MailTransferPtr> waiting;     // composed, not yet in the multi handle
  MailSettings mail{};
  char host_name[256] = "localhost";
  IpcBuffer recv{};
  IpcBuffer send{};
  char subject[kIpcMailSubjectSize] = {};
  char body[kIpcMailBodySize] = {};
  char message[kMailMessageSize] = {};
};

// Descriptor numbers come from vrk_sched and are taken as written; a non-number reads as 0.
int parse_fd(const char* text) {
  return static_cast<int>(strtol(text, nullptr, 10));
}

void set_host_name(NetState& st) {
  char name[sizeof st.host_name] = {};
  // gethostname may leave a cut name unterminated: keep "localhost" unless it fits whole.
  if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') {
    name[sizeof name - 1] = '\0';
    text_copy_cut(st.host_name, name);
  }
}

// Sends MAIL_RESULT, blocking. 0, or -1 when it could not be built or sent.
int send_mail_result(NetState& st, uint32_t mail_id, uint32_t status, std::string_view text) {
  if (ipc_build_mail_result(st.send, mail_id, status, text) != 0) {
    return -1;
  }
  return ipc_send(st.ipc_fd, st.send, false);
}

// A mail that cannot be started is answered at once; not being able to answer ends the process.
int answer_mail_failure(NetState& st, uint32_t mail_id, const char* text) {
  if (send_mail_result(st, mail_id, 1, text) != 0) {
    log_msg(kLogError, "cannot send the result of mail #%u to vrk_sched", mail_id);
    return 1;
  }
  return kContinue;
}

// Adds a composed transfer to the multi handle; one that cannot be added is answered at once.
// subject is logged as "sending" once the transfer is in; null for a mail logged when queued.
int activate_mail(NetState& st, MailTransferPtr t, const char* subject) {
  uint32_t mail_id = t->mail_id;
  if (curl_multi_add_handle(st.multi.get(), t->handle.get()) != CURLM_OK) {
    log_msg(kLogError, "mail #%u not sent: %s", mail_id, "curl_multi_add_handle failed");
    return answer_mail_failure(st, mail_id, "internal error");
  }
  if (subject != nullptr) {
    log_msg(kLogInfo, "mail #%u: sending: %s", mail_id, subject);
  }
  st.transfers.push_back(std::move(t));
  return kContinue;
}

// Moves waiting mails into the multi handle while there is room.
int activate_waiting(NetState& st) {
  while (!st.waiting.empty() && st.transfers.size() < kMailMaxActive) {
    MailTransferPtr t = std::move(st.waiting.front());
    st.waiting.pop_front();
    int rc = activate_mail(st, std::move(t), nullptr);
    if (rc != kContinue) {
      return rc;
    }
  }
  return kContinue;
}

int start_mail(NetState& st, uint32_t mail_id) {
  if (st.mail.enabled == 0) {
    return answer_mail_failure(st, mail_id, "no [mail] settings received");
  }
  long length = mail_compose(st.mail, st.subject, st.body, clock_unix_now(), st.host_name,
                             std::span<char>(st.message, sizeof st.message));
  if (length < 0) {
    return answer_mail_failure(st, mail_id, "message too large");
  }
  char err[kMailTextSize] = "";
  MailTransferPtr t =
      mail_transfer_new(st.mail, st.message, static_cast<size_t>(length), std::span<char>(err));
  if (!t) {
    log_msg(kLogError, "mail #%u not sent: %s", mail_id, err);
    return answer_mail_failure(st, mail_id, err);
  }
  t->mail_id = mail_id;
  if (st.transfers.size() >= kMailMaxActive) {
    if (st.waiting.size() >= kMailMaxWaiting) {
      log_msg(kLogError, "mail #%u not sent: %s", mail_id, "too many mails waiting");
      return answer_mail_failure(st, mail_id, "too many mails waiting");
    }
    log_msg(kLogInfo, "mail #%u: sending: %s", mail_id, st.subject);
    st.waiting.push_back(std::move(t));
    return kContinue;
  }
  return activate_mail(st, std::move(t), st.subject);
}

int on_mail_config(NetState& st, const IpcMessage& msg) {
  char err[kParseErrSize] = "";
  MailSettings fresh;
  ScopeExit wipe_fresh([&] { secret_wipe(fresh); });
  if (ipc_parse_mail_config(msg, fresh, err) != 0) {
    log_msg(kLogError, "%s", err);
    return 1;
  }
  secret_wipe(st.mail);
  st.mail = fresh;
  ipc_buffer_wipe(st.recv);
  log_msg(kLogInfo, "mail settings received (server %s:%u, %d recipient(s))", st.mail.smtp_host,
          st.mail.smtp_port, st.mail.recipient_count);
  return kContinue;
}

int on_mail_send(NetState& st, const IpcMessage& msg) {
  char err[kParseErrSize] = "";
  if (ipc_parse_mail_send(msg, st.subject, st.body, err) != 0) {
    log_msg(kLogError, "%s", err);
    return 1;
  }
  return start_mail(st, msg.id);
}

int on_api_config(NetState& st, const IpcMessage& msg) {
  char err[kParseErrSize] = "";
  ApiTlsConfig cfg;  // wiped when it goes out of scope
  if (ipc_parse_api_config(msg, cfg, err) != 0) {
    log_msg(kLogError, "%s", err);
    return 1;
  }
  ipc_buffer_wipe(st.recv);
  if (!st.api) {
    log_msg(kLogWarn, "API settings received, but no listening socket was passed");
    return kContinue;
  }
  char tls_err[128] = "";
  int rc = api_server_configure(*st.api, cfg, tls_err);
  ipc_api_config_release(cfg);
  if (rc != 0) {
    log_msg(kLogError, "API not available: %s", tls_err);
  } else {
    log_msg(kLogInfo, "API ready");
  }
  return kContinue;
}

int on_api_response(NetState& st, const IpcMessage& msg) {
  char err[kParseErrSize] = "";
  ApiResponse resp;
  if (ipc_parse_api_response(msg, resp, err) != 0) {
    log_msg(kLogError, "%s", err);
    return 1;
  }
  // Without an HTTPS server nobody waits for it.
  if (st.api) {
    api_server_deliver(*st.api, msg.id, resp, clock_monotonic_ms());
  }
  return kContinue;
}

// One received datagram; kContinue or the exit status.
int on_message(NetState& st) {
  IpcMessage msg;
  if (ipc_parse_header(st.recv, msg) != 0) {
    log_msg(kLogError, "malformed message from vrk_sched");
    return 1;
  }
  switch (msg.type) {
    case IpcType::kMailConfig:
      return on_mail_config(st, msg);
    case IpcType::kMailSend:
      return on_mail_send(st, msg);
    case IpcType::kApiConfig:
      return on_api_config(st, msg);
    case IpcType::kApiResponse:
      return on_api_response(st, msg);
    default:
      log_msg(kLogError, "unexpected message type %u from vrk_sched",
              static_cast<unsigned>(msg.type));
      return 1;
  }
}

// Takes up to kIpcPerPass messages without blocking.
int pump_ipc(NetState& st) {
  for (int i = 0; i < kIpcPerPass; ++i) {
    switch (ipc_recv(st.ipc_fd, st.recv, true)) {
      case kIpcRecvNothing:
        return kContinue;
      case kIpcRecvMessage:
        break;
      case kIpcRecvOversized:
        log_msg(kLogError, "oversized message from vrk_sched");
        return 1;
      default:
        // vrk_sched closed its end (its way of stopping us) or the socket failed.
        return 0;
    }
    int rc = on_message(st);
    if (rc != kContinue) {
      return rc;
    }
  }
  return kContinue;
}

// Runs the transfers and reports every finished one. A result that cannot be reported ends the
// process with 0: vrk_sched is gone or no longer reading, and it restarts us either way.
int pump_mail(NetState& st) {
  int running = 0;
  curl_multi_perform(st.multi.get(), &running);
  int queued = 0;
  while (CURLMsg* m = curl_multi_info_read(st.multi.get(), &queued)) {
    if (m->msg != CURLMSG_DONE) {
      continue;
    }
    CURL* easy = m->easy_handle;
    CURLcode code = m->data.result;
    curl_multi_remove_handle(st.multi.get(), easy);
    MailTransfer* t = mail_transfer_of(easy);
    auto it = std::find_if(st.transfers.begin(), st.transfers.end(),
                           [&](const MailTransferPtr& p) { return p.get() == t; });
    if (t == nullptr || it == st.transfers.end()) {
      continue;
    }
    MailTransferPtr done = std::move(*it);
    st.transfers.erase(it);
    char text[kMailTextSize] = "";
    uint32_t mail_id = done->mail_id;
    int ok = mail_transfer_result(*done, code, text);
    done.reset();
    if (ok == 0) {
      log_msg(kLogInfo, "mail #%u sent", mail_id);
    } else {
      log_msg(kLogError, "mail #%u not sent: %s", mail_id, text);
    }
    if (send_mail_result(st, mail_id, ok == 0 ? 0 : 1, text) != 0) {
      log_msg(kLogError, "cannot send the result of mail #%u to vrk_sched", mail_id);
      return 0;
    }
  }
  return activate_waiting(st);
}

// The readiness of the HTTPS server's entries (waits[1..count-1]) in poll flags. curl_multi_poll
// does not report errors and hang-ups, so those entries are polled once more without waiting.
void server_revents(const curl_waitfd* waits, int count, pollfd* fds, short* revents) {
  int n = count - 1;
  for (int i = 0; i < n; ++i) {
    const curl_waitfd& w = waits[i + 1];
    short ev = 0;
    if (w.revents & (CURL_WAIT_POLLIN | CURL_WAIT_POLLPRI)) {
      ev |= POLLIN;
    }
    if (w.revents & CURL_WAIT_POLLOUT) {
      ev |= POLLOUT;
    }
    revents[i] = ev;
    fds[i] = {w.fd, static_cast<short>((w.events & CURL_WAIT_POLLOUT) ? POLLOUT : POLLIN), 0};
  }
  if (n > 0 && poll(fds, static_cast<nfds_t>(n), 0) > 0) {
    for (int i = 0; i < n; ++i) {
      revents[i] = static_cast<short>(revents[i] | fds[i].revents);
    }
  }
}

int run_loop(NetState& st) {
  curl_waitfd waits[kWaitSetSize] = {};
  pollfd fds[kWaitSetSize] = {};
  short revents[kWaitSetSize] = {};
  for (;;) {
    int count = 0;
    waits[count++] = {st.ipc_fd, CURL_WAIT_POLLIN, 0};
    int wait_ms = kWaitCeilingMs;
    if (st.api) {
      count += api_server_fill_wait_set(*st.api, std::span(waits + 1, kWaitSetSize - 1));
      wait_ms = api_server_timeout_ms(*st.api, clock_monotonic_ms(), kWaitCeilingMs);
    }
    int ready = 0;
    if (curl_multi_poll(st.multi.get(), waits, static_cast<unsigned>(count), wait_ms, &ready) !=
        CURLM_OK) {
      log_msg(kLogError, "curl_multi_poll failed");
      return 1;
    }
    server_revents(waits, count, fds, revents);
    // The IPC socket is tried whether or not it was reported: a receive that finds nothing
    // costs one call, and an end of stream is seen in the same pass.
    int rc = pump_ipc(st);
    if (rc != kContinue) {
      return rc;
    }
    if (st.api) {
      api_server_handle_events(*st.api, std::span<const short>(revents, count - 1),
                               clock_monotonic_ms());
    }
    rc = pump_mail(st);
    if (rc != kContinue) {
      return rc;
    }
  }
}

// Transfers go before the multi handle, and settings are wiped on every end of the loop.
void shut_down(NetState& st) {
  for (MailTransferPtr& t : st.transfers) {
    curl_multi_remove_handle(st.multi.get(), t->handle.get());
  }
  st.transfers.clear();
  st.waiting.clear();
  st.multi.reset();
  secret_wipe(st.mail);
  ipc_buffer_wipe(st.recv);
}

}  // namespace

int net_serve(int ipc_fd, int listen_fd) {
  std::unique_ptr<NetState> st(new (std::nothrow) NetState);
  if (!st) {
    log_msg(kLogError, "out of memory");
    return 1;
  }
  st->ipc_fd = ipc_fd;
  st->listen_fd = listen_fd;

  if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
    log_msg(kLogError, "curl_global_init failed");
    return 1;
  }
  ScopeExit curl_cleanup([] { curl_global_cleanup(); });
  st->multi.reset(curl_multi_init());
  if (!st->multi) {
    log_msg(kLogError, "curl_multi_init failed");
    return 1;
  }
  ScopeExit cleanup([&] { shut_down(*st); });

  if (ipc_build_hello(st->send, static_cast<uint32_t>(getpid())) != 0 ||
      ipc_send(ipc_fd, st->send, false) != 0) {
    log_msg(kLogError, "cannot talk to vrk_sched on fd %d", ipc_fd);
    return 1;
  }
  if (listen_fd >= 0) {
    st->api = api_server_new(listen_fd, ipc_fd);
    if (!st->api) {
      log_msg(kLogError, "out of memory");
      return 1;
    }
  }
  secret_wipe(st->mail);
  set_host_name(*st);
  return run_loop(*st);
}

int net_main(int argc, char** argv) {
  int rc = version_or_selftest(argc, argv, kNetProgram);
  if (rc >= 0) {
    return rc;
  }
  log_init(kNetProgram, kLogInfo);
  runlog_init(argc, argv, kNetProgram);
  cli_check(argc, argv, kNetOptions, 0);

  const char* ipc_text = cli_value(argc, argv, kNetIpcFdOption, nullptr);
  if (ipc_text == nullptr) {
    fputs(
        "vrk_sched_net is started by vrk_sched itself, not by hand (usage: vrk_sched_net "
        "--ipc-fd <fd> [--listen-fd <fd>])\n",
        stderr);
    return 2;
  }
  const char* listen_text = cli_value(argc, argv, kNetListenFdOption, nullptr);
  int ipc_fd = parse_fd(ipc_text);
  int listen_fd = listen_text ? parse_fd(listen_text) : -1;

  if (geteuid() == 0) {
    log_msg(kLogError, "refusing to run as root: vrk_sched starts this process as the '%s' account",
            kNetAccount);
    return 2;
  }

  // OpenSSL's socket BIO writes with plain write: a client that goes away must not kill us.
  struct sigaction ign = {};
  ign.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ign, nullptr);

  char err[256] = "";
  if (sandbox_enter(err) != 0) {
    log_msg(kLogError, "cannot set up the sandbox: %s", err);
    return 1;
  }
  return net_serve(ipc_fd, listen_fd);
}

}  // namespace vrk
