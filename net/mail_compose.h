// Mail composition: one MAIL_SEND (subject, plain-text body) becomes one MIME message,
// multipart/alternative with a text part and an HTML part, CR LF line ends, lines of at most
// 990 bytes. A process-wide counter, incremented once per message, keeps Message-IDs and
// boundaries unique within the process.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <span>
#include <string_view>

#include "common/mail_settings.h"

namespace vrk {

// The buffer a composed message must fit, and the largest subject and body the network process
// receives (its IPC buffers).
inline constexpr size_t kMailMessageSize = 401408;
inline constexpr size_t kMailSubjectMax = 1023;
inline constexpr size_t kMailBodyMax = 65535;

// Longest body line, in bytes, before a line break is inserted.
inline constexpr size_t kMailLineMax = 990;

// Composes the message for settings' from address and recipients into out, with the Date header
// in local time of now and host_name in the Message-ID. Returns the message length, or -1 when
// the subject holds CR or LF or the message does not fit out (nothing usable is left in out).
// Increments the message counter once the subject has been accepted.
[[nodiscard]] long mail_compose(const MailSettings& settings, std::string_view subject,
                                std::string_view body, int64_t now, const char* host_name,
                                std::span<char> out);

}  // namespace vrk
