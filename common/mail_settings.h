// MailSettings: the [mail] section as loaded, and what MAIL_CONFIG carries to the network process.
// Fixed-size texts, each NUL-terminated within its array. The password is a secret: wipe it.
#pragma once

#include <stdint.h>

#include <type_traits>

namespace vrk {

inline constexpr int kMailMaxRecipients = 16;
inline constexpr uint32_t kMailTlsNone = 0;
inline constexpr uint32_t kMailTlsStarttls = 1;
inline constexpr uint32_t kMailTlsSmtps = 2;

inline constexpr int kMailHostSize = 256;
inline constexpr int kMailUserSize = 256;
inline constexpr int kMailPasswordSize = 65;
inline constexpr int kMailAddressSize = 256;
inline constexpr int kMailCaFileSize = 512;

struct MailSettings {
  uint32_t enabled = 0;
  char smtp_host[kMailHostSize] = {};
  uint32_t smtp_port = 0;
  uint32_t tls_mode = kMailTlsStarttls;
  char smtp_user[kMailUserSize] = {};
  char smtp_password[kMailPasswordSize] = {};
  char from[kMailAddressSize] = {};
  char recipients[kMailMaxRecipients][kMailAddressSize] = {};
  int32_t recipient_count = 0;
  char ca_file[kMailCaFileSize] = {};
  uint32_t timeout_seconds = 60;
};
static_assert(std::is_trivially_copyable_v<MailSettings>);

}  // namespace vrk
