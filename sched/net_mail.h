// The scheduler's mail side: handing mails to the network process, waiting for their outcome,
// and a one-shot delivery through a private network process.
#pragma once

#include <stdint.h>

#include <span>

#include "common/mail_settings.h"

namespace vrk {

struct NetSupervisor;

// Hands one mail over; its id (never 0) when it was sent to the child, else 0 (logged).
uint32_t net_send_mail(NetSupervisor& net, const char* subject, const char* body);

// Waits at most limit_seconds for the MAIL_RESULT of mail_id. 0 when delivered; -1 with the
// reason in text. Requires: not inside a pump (an API handler or the mail-result hook).
[[nodiscard]] int net_wait_mail(NetSupervisor& net, uint32_t mail_id, uint32_t limit_seconds,
                                std::span<char> text);

// Starts a temporary network process for one mail and waits for its outcome (mail timeout
// plus 15 s). 0 when delivered; -1 with the reason in text (512 bytes suffice).
[[nodiscard]] int net_mail_once(const MailSettings& mail, const char* subject, const char* body,
                                std::span<char> text);

}  // namespace vrk
