// The client's side of the API's signature scheme: the Authorization value of a signed request
// and the check of the X-VRK-Signature of its answer, over the texts of common/api_sign.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string_view>

#include "client/credential.h"
#include "common/api_sign.h"

namespace vrk {

// "VRK-HMAC-SHA256 key=" + 64 name + ", ts=" + 20 digits + ", nonce=" + 32 + ", sig=" + 64.
inline constexpr size_t kSignAuthorizationSize = 256;

// One request to sign; the path still percent-encoded, the query without '?'.
struct SignRequest {
  std::string_view method;
  std::string_view path;
  std::string_view query;
  const uint8_t* body = nullptr;
  size_t body_length = 0;
  std::string_view if_match;
};

// 32 random lower-case hex digits. 0, or -1 when the random generator fails.
[[nodiscard]] int sign_new_nonce(char (&nonce)[kApiNonceSize]);

// The Authorization value for request signed with token at time now with nonce. 0, or -1 when
// the request is too long to be signed (the canonical request over kApiCanonicalSize - 1).
[[nodiscard]] int sign_authorization(const ClientToken& token, const SignRequest& request,
                                     int64_t now, const char* nonce,
                                     char (&out)[kSignAuthorizationSize]);

// True when header is exactly the 64 lower-case hex digits of the answer's signature for nonce,
// status and body; compared in constant time.
bool sign_response_valid(const ClientToken& token, const char* nonce, uint32_t status,
                         const uint8_t* body, size_t body_length, std::string_view header);

}  // namespace vrk
