#include "client/sign.h"

#include <inttypes.h>
#include <stdio.h>

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include "common/text.h"

namespace vrk {

int sign_new_nonce(char (&nonce)[kApiNonceSize]) {
  uint8_t bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) {
    return -1;
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < sizeof bytes; ++i) {
    nonce[2 * i] = kDigits[bytes[i] >> 4];
    nonce[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  nonce[2 * sizeof bytes] = '\0';
  return 0;
}

int sign_authorization(const ClientToken& token, const SignRequest& request, int64_t now,
                       const char* nonce, char (&out)[kSignAuthorizationSize]) {
  out[0] = '\0';
  char ts[24];
  snprintf(ts, sizeof ts, "%" PRId64, now);
  ApiSignInput in;
  in.method = request.method;
  in.path = request.path;
  in.query = request.query;
  in.ts = ts;
  in.nonce = nonce;
  in.body = request.body;
  in.body_length = request.body_length;
  in.if_match = request.if_match;
  static char canonical[kApiCanonicalSize];
  size_t n = api_sign_canonical(in, canonical);
  if (n == 0) {
    return -1;
  }
  char sig[kApiSignatureHexSize];
  api_sign_request_hex(text_view(token.secret), std::string_view(canonical, n), sig);
  int m = snprintf(out, sizeof out, "%.*skey=%s, ts=%s, nonce=%s, sig=%s",
                   static_cast<int>(kApiSignedScheme.size()), kApiSignedScheme.data(), token.name,
                   ts, nonce, sig);
  return m > 0 && static_cast<size_t>(m) < sizeof out ? 0 : -1;
}

bool sign_response_valid(const ClientToken& token, const char* nonce, uint32_t status,
                         const uint8_t* body, size_t body_length, std::string_view header) {
  char want[kApiSignatureHexSize];
  api_sign_response_hex(text_view(token.secret), nonce, status, body, body_length, want);
  bool same = header.size() == kApiSignatureHexSize - 1 &&
              CRYPTO_memcmp(want, header.data(), header.size()) == 0;
  OPENSSL_cleanse(want, sizeof want);
  return same;
}

}  // namespace vrk
