// Request authentication and response signing: a plain Bearer token for read tokens, or an
// HMAC-SHA256 signature over the canonical request ("VRK-HMAC-SHA256") checked against the
// token's secret, the timestamp window and the nonce cache. Signed requests get their response
// signed with the same secret. Single-threaded: the canonical request uses one static area.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string_view>
#include <type_traits>

#include "common/api_sign.h"
#include "common/ipc.h"
#include "sched/api/tokens.h"

namespace vrk {

inline constexpr int kApiNonceCacheSlots = 4096;
inline constexpr int64_t kApiTimestampWindow = 300;  // ts may be t-300 .. t+300
// A nonce stays used for as long as its ts can still be accepted: stored at t with ts up to
// t+300, it is replayable until t+600, so it is remembered while it is at most 601 s old.
inline constexpr int64_t kApiNonceMemorySeconds = 2 * kApiTimestampWindow + 1;

// Reasons of api_authenticate, with the texts of api_auth_reason.
enum class AuthReason : int {
  kOk = 0,
  kNoCredentials = 1,
  kMalformed = 2,
  kUnknownToken = 3,
  kWrongSecret = 4,
  kAdminBearer = 5,
  kStaleTimestamp = 6,
  kNonceUsed = 7,
  kRateLimited = 8,
};

struct ApiNonceEntry {
  char nonce[kApiNonceSize] = {};  // empty: the slot was never used
  int64_t time = 0;                // when the request was accepted
};

// Nonces of accepted signed requests: a ring of 4096 slots written at next. A hash index over
// the slots (bucket heads and per-slot chain links, each a slot number + 1, 0 for none) keeps
// the replay check from reading all 4096 slots per request; a slot leaves its chain when it is
// overwritten.
struct ApiNonceCache {
  ApiNonceEntry entries[kApiNonceCacheSlots] = {};
  uint64_t next = 0;
  uint16_t bucket[kApiNonceCacheSlots] = {};
  uint16_t chain[kApiNonceCacheSlots] = {};
};
static_assert(std::is_trivially_copyable_v<ApiNonceCache>);

struct AuthResult {
  const ApiToken* token = nullptr;  // into the token table
  uint32_t signed_request = 0;
  char nonce[kApiNonceSize] = {};
};

// Authenticates request's authorization value against tokens at time now. Returns the reason
// (kOk with result filled). The signature is checked before the time window, the window before
// the nonce cache, the cache before the rate limit; only an accepted signed request takes a
// cache slot.
AuthReason api_authenticate(const TokenTable& tokens, ApiNonceCache& cache, int64_t now,
                            const ApiRequest& request, AuthResult& result);

// The text of reason number: "ok", ... ; "?" for a number outside 0..8.
const char* api_auth_reason(int number);

// The canonical request "VRK1\n<method>\n<path>\n<query>\n<ts>\n<nonce>\n<body sha256>\n
// <if-match>" in the static area, valid until the next call; an empty view when it does not
// fit (never for requests within the IPC limits).
std::string_view api_canonical_request(const ApiRequest& request, std::string_view ts,
                                       std::string_view nonce);

// HMAC-SHA256 of canonical keyed with the token's 43-character secret, in lower-case hex.
void api_request_signature(const ApiToken& token, std::string_view canonical,
                           char (&hex)[kApiSignatureHexSize]);

// HMAC-SHA256 of "VRK1-R\n<nonce>\n<status>\n<body sha256>" keyed with the token's secret, in
// lower-case hex.
void api_response_signature(const ApiToken& token, const char* nonce, uint32_t status,
                            const uint8_t* body, size_t body_length,
                            char (&hex)[kApiSignatureHexSize]);

}  // namespace vrk
