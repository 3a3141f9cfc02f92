#include "sched/net_mail.h"

#include <errno.h>
#include <poll.h>
#include <stdint.h>

#include <algorithm>
#include <memory>
#include <new>

#include "common/clock.h"
#include "common/error.h"
#include "common/ipc.h"
#include "common/log.h"
#include "common/text.h"
#include "sched/net_supervisor.h"

namespace vrk {
namespace {

constexpr int kWaitSliceMs = 500;
constexpr uint32_t kOnceExtraSeconds = 15;  // beyond the mail time-out: the child's own start

}  // namespace

uint32_t net_send_mail(NetSupervisor& net, const char* subject, const char* body) {
  // A dead child is noticed (and restarted when due) before the mail is handed over.
  net_pump(net);
  if (!net.socket.valid()) {
    log_msg(kLogError, "vrk_sched: mail \"%s\" not sent: the network process is not running",
            subject);
    return 0;
  }
  uint32_t id = net_next_message_id(net);
  IpcBufferPtr buf = ipc_buffer_new();
  if (!buf) {
    return 0;
  }
  bool built = ipc_build_mail_send(*buf, id, subject, body) == 0;
  if (built && ipc_send(net.socket.get(), *buf, true) == 0) {
    log_msg(kLogInfo, "vrk_sched: mail #%u queued: %s", id, subject);
    return id;
  }
  int e = errno;
  log_msg(kLogError, "vrk_sched: mail \"%s\" not sent: cannot hand it to the network process (%s)",
          subject,
          built && (e == EAGAIN || e == EWOULDBLOCK) ? "it is not keeping up"
                                                     : "message too large or socket error");
  return 0;
}

int net_wait_mail(NetSupervisor& net, uint32_t mail_id, uint32_t limit_seconds,
                  std::span<char> text) {
  if (mail_id == 0) {
    // 0 is what net_send_mail returns for a mail it could not hand over.
    err_set(text, "cannot hand the mail to the network process");
    return -1;
  }
  const int64_t deadline = clock_monotonic_ms() + static_cast<int64_t>(limit_seconds) * 1000;
  net.last_mail_id = 0;
  while (net.last_mail_id != mail_id) {
    int64_t now = clock_monotonic_ms();
    if (now >= deadline) {
      err_set(text, "no answer from the network process within %u s", limit_seconds);
      return -1;
    }
    if (!net.socket.valid()) {
      err_set(text, "the network process exited before reporting a result");
      return -1;
    }
    struct pollfd p = {net.socket.get(), POLLIN, 0};
    poll(&p, 1, static_cast<int>(std::min<int64_t>(kWaitSliceMs, deadline - now)));
    net_pump(net);
  }
  if (net.last_mail_status == 0) {
    text_copy_cut(text, "");
    return 0;
  }
  text_copy_cut(text, text_view(net.last_mail_text));
  return -1;
}

int net_mail_once(const MailSettings& mail, const char* subject, const char* body,
                  std::span<char> text) {
  if (mail.enabled == 0) {
    err_set(text, "no [mail] section in the configuration");
    return -1;
  }
  std::unique_ptr<NetSupervisor> net(new (std::nothrow) NetSupervisor);
  if (!net) {
    err_set(text, "out of memory");
    return -1;
  }
  net_init(*net);
  // Not wanted: this child is started once, here, and never restarted behind our back.
  net->mail = mail;
  if (net_start(*net) != 0) {
    net_shutdown(*net);
    err_set(text, "cannot start the network process vrk_sched_net (see the log)");
    return -1;
  }
  int rc = -1;
  uint32_t id = net_send_mail(*net, subject, body);
  if (id == 0) {
    err_set(text, "cannot hand the mail to the network process");
  } else {
    uint32_t limit = mail.timeout_seconds > UINT32_MAX - kOnceExtraSeconds
                         ? UINT32_MAX
                         : mail.timeout_seconds + kOnceExtraSeconds;
    rc = net_wait_mail(*net, id, limit, text);
  }
  net_shutdown(*net);
  return rc;
}

}  // namespace vrk
