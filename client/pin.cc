#include "client/pin.h"

#include <ctype.h>
#include <string.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "common/error.h"

namespace vrk {

int pin_parse(std::string_view text, CertPin& pin, std::span<char> err) {
  err_set(err, "%s", "");
  // OpenSSL's reader skips separators anywhere, so the layout is checked here first.
  bool ok = text.size() == kPinTextLength;
  for (size_t i = 0; ok && i < text.size(); ++i) {
    ok = i % 3 == 2 ? text[i] == ':' : isxdigit(static_cast<unsigned char>(text[i])) != 0;
  }
  char buf[kPinTextLength + 1];
  uint8_t digest[32];
  size_t len = 0;
  if (ok) {
    memcpy(buf, text.data(), text.size());
    buf[text.size()] = '\0';
    ok = OPENSSL_hexstr2buf_ex(digest, sizeof digest, &len, buf, ':') == 1 && len == 32;
  }
  if (!ok) {
    err_set(err, "%s",
            "malformed fingerprint (expected 32 hexadecimal byte pairs separated by ':', as "
            "'vrk_sched api-init' prints it)");
    return -1;
  }
  memcpy(pin.digest, digest, sizeof digest);
  return 0;
}

bool pin_matches(X509* cert, const CertPin& pin) {
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (cert == nullptr || X509_digest(cert, EVP_sha256(), digest, &len) != 1 ||
      len != sizeof pin.digest) {
    return false;
  }
  return CRYPTO_memcmp(digest, pin.digest, sizeof pin.digest) == 0;
}

}  // namespace vrk
