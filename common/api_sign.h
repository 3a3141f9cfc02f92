// The configuration API's signature scheme (VRK-HMAC-SHA256), shared by the scheduler, which
// checks requests and signs answers, and the command-line client, which does the reverse: the
// canonical request, the text an answer's signature covers, and HMAC-SHA256 over them keyed
// with a token's 43-character secret text. Both sides build the texts here, so they cannot drift.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <span>
#include <string_view>

namespace vrk {

inline constexpr int kApiNonceSize = 33;         // 32 lower-case hex digits
inline constexpr int kApiSignatureHexSize = 65;  // 64 lower-case hex digits
inline constexpr int kApiCanonicalSize = 4096;   // room for every request within the IPC limits
inline constexpr std::string_view kApiSignedScheme = "VRK-HMAC-SHA256 ";

// One request as it travels: the path still percent-encoded and without the query, the query
// without '?', the body bytes, If-Match as sent (empty when none).
struct ApiSignInput {
  std::string_view method;
  std::string_view path;
  std::string_view query;
  std::string_view ts;
  std::string_view nonce;
  const uint8_t* body = nullptr;
  size_t body_length = 0;
  std::string_view if_match;
};

// Writes "VRK1\n<method>\n<path>\n<query>\n<ts>\n<nonce>\n<body sha256 hex>\n<if-match>" into
// out with a NUL. Returns its length, or 0 when it does not fit.
[[nodiscard]] size_t api_sign_canonical(const ApiSignInput& in, std::span<char> out);

// HMAC-SHA256 of canonical keyed with secret, in lower-case hex.
void api_sign_request_hex(std::string_view secret, std::string_view canonical,
                          char (&hex)[kApiSignatureHexSize]);

// HMAC-SHA256 of "VRK1-R\n<nonce>\n<status>\n<body sha256 hex>" keyed with secret, in
// lower-case hex; at most 32 characters of nonce are used.
void api_sign_response_hex(std::string_view secret, std::string_view nonce, uint32_t status,
                           const uint8_t* body, size_t body_length,
                           char (&hex)[kApiSignatureHexSize]);

}  // namespace vrk
