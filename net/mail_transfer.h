// MailTransfer: one mail in flight, a libcurl easy handle set up for SMTP or SMTPS submission of
// an owned copy of a composed message. The handle's private pointer names its MailTransfer, so
// the owner of the multi handle finds the record when the transfer is reported done. The record
// must not move while its handle exists (the handle points at its error buffer and at itself),
// which is why it only ever lives on the heap behind MailTransferPtr.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <span>

#include <curl/curl.h>

#include "common/handles.h"
#include "common/mail_settings.h"

namespace vrk {

// The server URL ("smtps://[::1]:465") with its NUL; also the size of result and set-up texts.
inline constexpr size_t kMailUrlSize = 400;
inline constexpr size_t kMailTextSize = 400;

struct MailTransfer {
  CurlEasyPtr handle;
  CurlSlistPtr recipients;
  std::unique_ptr<char[]> message;
  size_t message_length = 0;
  size_t read_position = 0;
  char url[kMailUrlSize] = {};
  char error[CURL_ERROR_SIZE] = {};
  uint32_t mail_id = 0;
};

// Cleans up the handle, the recipient list and the message copy, then the record; accepts null.
// Requires: the handle is no longer in a multi handle (remove it first).
void mail_transfer_free(MailTransfer* transfer);

using MailTransferPtr = std::unique_ptr<MailTransfer, FreeWith<mail_transfer_free>>;

// A transfer for settings (server, TLS mode, credentials, envelope) delivering a copy of
// message[0..length), ready for curl_multi_add_handle on transfer->handle. Returns null with
// "out of memory" in err (kMailTextSize bytes), or with the library's reason when it refuses an
// option. Requires: curl_global_init has run.
[[nodiscard]] MailTransferPtr mail_transfer_new(const MailSettings& settings, const char* message,
                                                size_t length, std::span<char> err);

// The MailTransfer whose handle this is (its private pointer), or null when none is set.
// Requires: handle came from mail_transfer_new, or carries no private pointer.
MailTransfer* mail_transfer_of(CURL* handle);

// 0 for a delivery the library completed with CURLE_OK (text left empty); otherwise -1 with
// "<reason> (<url>)" in text (kMailTextSize bytes), the reason being the transfer's own error
// text or else the library's description of code, every CR and LF turned into a space.
[[nodiscard]] int mail_transfer_result(const MailTransfer& transfer, CURLcode code,
                                       std::span<char> text);

}  // namespace vrk
