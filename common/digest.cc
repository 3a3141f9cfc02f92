#include "common/digest.h"

#include <stdio.h>
#include <stdlib.h>

#include <openssl/evp.h>

#include "common/handles.h"

namespace vrk {
namespace {

[[noreturn]] void sha256_fatal() {
  fputs("fatal: OpenSSL SHA-256 failed\n", stderr);
  abort();
}

// Fetching resolves the provider each time; doing it once keeps hashing cheap.
const EVP_MD* sha256_md() {
  static const EvpMdPtr md(EVP_MD_fetch(nullptr, "SHA256", nullptr));
  if (!md) {
    sha256_fatal();
  }
  return md.get();
}

}  // namespace

void sha256(const void* data, size_t size, uint8_t (&digest)[32]) {
  const EVP_MD* md = sha256_md();
  // EVP_Digest reads nothing when size is 0, but wants a valid pointer all the same.
  static const unsigned char kEmpty = 0;
  unsigned int len = 0;
  if (EVP_Digest(size == 0 ? &kEmpty : data, size, digest, &len, md, nullptr) != 1 ||
      len != sizeof digest) {
    sha256_fatal();
  }
}

void sha256_hex(const uint8_t (&digest)[32], char (&hex)[65]) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < sizeof digest; ++i) {
    hex[2 * i] = kDigits[digest[i] >> 4];
    hex[2 * i + 1] = kDigits[digest[i] & 0x0F];
  }
  hex[64] = '\0';
}

}  // namespace vrk
