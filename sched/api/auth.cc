#include "sched/api/auth.h"

#include <string.h>

#include <charconv>
#include <iterator>

#include <openssl/crypto.h>

#include "common/text.h"

namespace vrk {
namespace {

constexpr std::string_view kBearerPrefix = "Bearer ";
constexpr std::string_view kSignedPrefix = kApiSignedScheme;
constexpr size_t kTokenNameMax = kTokenNameSize - 1;
constexpr size_t kSecretLength = kTokenSecretSize - 1;
constexpr size_t kTsMax = 23;
constexpr size_t kNonceFieldMax = 39;
constexpr size_t kSigFieldMax = 79;
constexpr size_t kNonceLength = kApiNonceSize - 1;
constexpr size_t kSigLength = kApiSignatureHexSize - 1;

constexpr const char* kReasonTexts[] = {
    "ok",
    "no credentials (Authorization: Bearer or VRK-HMAC-SHA256 expected)",
    "malformed Authorization header",
    "unknown token",
    "wrong secret or signature",
    "admin tokens must sign their requests (VRK-HMAC-SHA256), not use Bearer",
    "request timestamp outside the allowed window (check the client's clock)",
    "nonce already used",
    "too many signed requests in the last minutes",
};

bool lower_hex(std::string_view s, size_t length) {
  if (s.size() != length) {
    return false;
  }
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
      return false;
    }
  }
  return true;
}

bool ts_valid(std::string_view ts) {
  for (char c : ts) {
    if (c < '0' || c > '9') {
      return false;
    }
  }
  return !ts.empty() && (ts[0] != '0' || ts.size() == 1);
}

// Takes "<label><value>" from the front of rest, the value running to the next ',' (or to the
// end when last); false when the label is missing or the value is empty or over max.
bool take_param(std::string_view& rest, std::string_view label, size_t max, bool last,
                std::string_view& value) {
  if (rest.substr(0, label.size()) != label) {
    return false;
  }
  rest.remove_prefix(label.size());
  size_t end = last ? rest.size() : rest.find(',');
  if (end == std::string_view::npos) {
    return false;
  }
  value = rest.substr(0, end);
  rest.remove_prefix(end);
  return !value.empty() && value.size() <= max;
}

// Whether entry holds a nonce that still counts as used at now.
bool remembered(const ApiNonceEntry& e, int64_t now) {
  return e.nonce[0] != '\0' && now - e.time <= kApiNonceMemorySeconds;
}

// FNV-1a of the nonce's digits, folded to a bucket number.
uint16_t nonce_bucket(std::string_view nonce) {
  uint32_t h = 2166136261u;
  for (char c : nonce) {
    h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
  }
  return static_cast<uint16_t>((h ^ (h >> 16)) % kApiNonceCacheSlots);
}

bool nonce_remembered(const ApiNonceCache& cache, std::string_view nonce, int64_t now) {
  for (uint16_t link = cache.bucket[nonce_bucket(nonce)]; link != 0; link = cache.chain[link - 1]) {
    const ApiNonceEntry& e = cache.entries[link - 1];
    if (remembered(e, now) && memcmp(e.nonce, nonce.data(), kNonceLength) == 0) {
      return true;
    }
  }
  return false;
}

// Writes nonce and now into slot s, moving the slot from the chain of its old nonce (if any) to
// the chain of the new one.
void nonce_store(ApiNonceCache& cache, uint16_t s, std::string_view nonce, int64_t now) {
  ApiNonceEntry& e = cache.entries[s];
  if (e.nonce[0] != '\0') {
    uint16_t* link = &cache.bucket[nonce_bucket(std::string_view(e.nonce, kNonceLength))];
    while (*link != 0 && *link != s + 1) {
      link = &cache.chain[*link - 1];
    }
    if (*link == s + 1) {
      *link = cache.chain[s];
    }
  }
  memcpy(e.nonce, nonce.data(), kNonceLength);
  e.nonce[kNonceLength] = '\0';
  e.time = now;
  uint16_t& head = cache.bucket[nonce_bucket(nonce)];
  cache.chain[s] = head;
  head = static_cast<uint16_t>(s + 1);
}

AuthReason authenticate_bearer(const TokenTable& tokens, std::string_view credential,
                               AuthResult& result) {
  size_t dot = credential.find('.');
  if (dot == std::string_view::npos || dot == 0 || dot > kTokenNameMax) {
    return AuthReason::kMalformed;
  }
  const ApiToken* token = token_find(tokens, credential.substr(0, dot));
  if (token == nullptr) {
    return AuthReason::kUnknownToken;
  }
  std::string_view secret = credential.substr(dot + 1);
  if (secret.size() != kSecretLength ||
      strnlen(token->secret, sizeof token->secret) != kSecretLength ||
      CRYPTO_memcmp(secret.data(), token->secret, kSecretLength) != 0) {
    return AuthReason::kWrongSecret;
  }
  if (token->role != TokenRole::kRead) {
    return AuthReason::kAdminBearer;
  }
  result.token = token;
  return AuthReason::kOk;
}

// Grammar: "key=" name ", ts=" digits ", nonce=" 32 hex ", sig=" 64 hex, no other spaces.
AuthReason authenticate_signed(const TokenTable& tokens, ApiNonceCache& cache, int64_t now,
                               const ApiRequest& request, std::string_view rest,
                               AuthResult& result) {
  std::string_view key, ts, nonce, sig;
  if (!take_param(rest, "key=", kTokenNameMax, false, key) ||
      !take_param(rest, ", ts=", kTsMax, false, ts) ||
      !take_param(rest, ", nonce=", kNonceFieldMax, false, nonce) ||
      !take_param(rest, ", sig=", kSigFieldMax, true, sig)) {
    return AuthReason::kMalformed;
  }
  if (!token_name_valid(key) || !lower_hex(nonce, kNonceLength) || !lower_hex(sig, kSigLength) ||
      !ts_valid(ts)) {
    return AuthReason::kMalformed;
  }
  const ApiToken* token = token_find(tokens, key);
  if (token == nullptr) {
    return AuthReason::kUnknownToken;
  }
  std::string_view canonical = api_canonical_request(request, ts, nonce);
  if (canonical.empty()) {
    return AuthReason::kMalformed;
  }
  char want[kApiSignatureHexSize];
  api_request_signature(*token, canonical, want);
  bool same = CRYPTO_memcmp(want, sig.data(), kSigLength) == 0;
  OPENSSL_cleanse(want, sizeof want);
  if (!same) {
    return AuthReason::kWrongSecret;
  }
  // A ts beyond the 64-bit range is certainly outside the window.
  int64_t when = 0;
  auto [ptr, ec] = std::from_chars(ts.data(), ts.data() + ts.size(), when);
  if (ec != std::errc() || when < now - kApiTimestampWindow || when > now + kApiTimestampWindow) {
    return AuthReason::kStaleTimestamp;
  }
  if (nonce_remembered(cache, nonce, now)) {
    return AuthReason::kNonceUsed;
  }
  uint16_t s = static_cast<uint16_t>(cache.next % kApiNonceCacheSlots);
  ApiNonceEntry& slot = cache.entries[s];
  if (remembered(slot, now)) {
    return AuthReason::kRateLimited;
  }
  nonce_store(cache, s, nonce, now);
  cache.next = (cache.next + 1) % kApiNonceCacheSlots;
  result.token = token;
  result.signed_request = 1;
  memcpy(result.nonce, slot.nonce, sizeof result.nonce);
  return AuthReason::kOk;
}

}  // namespace

AuthReason api_authenticate(const TokenTable& tokens, ApiNonceCache& cache, int64_t now,
                            const ApiRequest& request, AuthResult& result) {
  result = AuthResult{};
  std::string_view value(request.authorization,
                         strnlen(request.authorization, sizeof request.authorization));
  if (value.starts_with(kBearerPrefix)) {
    return authenticate_bearer(tokens, value.substr(kBearerPrefix.size()), result);
  }
  if (value.starts_with(kSignedPrefix)) {
    return authenticate_signed(tokens, cache, now, request, value.substr(kSignedPrefix.size()),
                               result);
  }
  return value.empty() ? AuthReason::kNoCredentials : AuthReason::kMalformed;
}

const char* api_auth_reason(int number) {
  if (number < 0 || number >= static_cast<int>(std::size(kReasonTexts))) {
    return "?";
  }
  return kReasonTexts[number];
}

std::string_view api_canonical_request(const ApiRequest& request, std::string_view ts,
                                       std::string_view nonce) {
  static char area[kApiCanonicalSize];
  ApiSignInput in;
  in.method = text_view(request.method);
  in.path = text_view(request.path);
  in.query = text_view(request.query);
  in.ts = ts;
  in.nonce = nonce;
  in.body = request.body;
  in.body_length = request.body_length;
  in.if_match = text_view(request.if_match);
  return std::string_view(area, api_sign_canonical(in, area));
}

void api_request_signature(const ApiToken& token, std::string_view canonical,
                           char (&hex)[kApiSignatureHexSize]) {
  api_sign_request_hex(text_view(token.secret), canonical, hex);
}

void api_response_signature(const ApiToken& token, const char* nonce, uint32_t status,
                            const uint8_t* body, size_t body_length,
                            char (&hex)[kApiSignatureHexSize]) {
  api_sign_response_hex(text_view(token.secret), std::string_view(nonce, strnlen(nonce, 32)),
                        status, body, body_length, hex);
}

}  // namespace vrk
