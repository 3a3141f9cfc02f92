// A pinned server certificate: the SHA-256 of its DER form, given as the text 'vrk_sched
// api-init' prints (32 upper-case hexadecimal pairs joined by ':'; either case is accepted).
#pragma once

#include <stdint.h>

#include <span>
#include <string_view>

#include <openssl/x509.h>

namespace vrk {

inline constexpr size_t kPinTextLength = 95;
inline constexpr size_t kPinErrSize = 160;

struct CertPin {
  uint8_t digest[32] = {};
};

// Reads text into pin. 0, or -1 with "malformed fingerprint (expected 32 hexadecimal byte
// pairs separated by ':', as 'vrk_sched api-init' prints it)" in err (kPinErrSize bytes); pin
// is then untouched.
[[nodiscard]] int pin_parse(std::string_view text, CertPin& pin, std::span<char> err);

// True when the SHA-256 of cert's DER form equals pin; false also when it cannot be computed.
bool pin_matches(X509* cert, const CertPin& pin);

}  // namespace vrk
