#include "common/api_sign.h"

#include <stdio.h>
#include <stdlib.h>

#include <initializer_list>
#include <memory>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include "common/digest.h"
#include "common/handles.h"

namespace vrk {
namespace {

[[noreturn]] void hmac_fatal() {
  fputs("fatal: OpenSSL HMAC-SHA256 failed\n", stderr);
  abort();
}

// One HMAC context for the life of the process: fetching the algorithm and allocating a context
// per request would cost more than the MAC itself. Each use re-keys it.
EVP_MAC_CTX* hmac_context() {
  static const std::unique_ptr<EVP_MAC_CTX, FreeWith<EVP_MAC_CTX_free>> ctx = [] {
    std::unique_ptr<EVP_MAC, FreeWith<EVP_MAC_free>> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
    // The context keeps its own reference to the algorithm.
    std::unique_ptr<EVP_MAC_CTX, FreeWith<EVP_MAC_CTX_free>> c(mac ? EVP_MAC_CTX_new(mac.get())
                                                                   : nullptr);
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_end(),
    };
    if (!c || EVP_MAC_CTX_set_params(c.get(), params) != 1) {
      hmac_fatal();
    }
    return c;
  }();
  return ctx.get();
}

// HMAC-SHA256 of the parts, in order, keyed with secret.
void hmac_sha256_hex(std::string_view secret, std::initializer_list<std::string_view> parts,
                     char (&hex)[kApiSignatureHexSize]) {
  EVP_MAC_CTX* ctx = hmac_context();
  uint8_t mac[32];
  size_t len = 0;
  if (EVP_MAC_init(ctx, reinterpret_cast<const unsigned char*>(secret.data()), secret.size(),
                   nullptr) != 1) {
    hmac_fatal();
  }
  for (std::string_view part : parts) {
    if (EVP_MAC_update(ctx, reinterpret_cast<const unsigned char*>(part.data()), part.size()) !=
        1) {
      hmac_fatal();
    }
  }
  if (EVP_MAC_final(ctx, mac, &len, sizeof mac) != 1 || len != sizeof mac) {
    hmac_fatal();
  }
  sha256_hex(mac, hex);
  OPENSSL_cleanse(mac, sizeof mac);
  // Re-keying with a blank key leaves no state derived from the secret in the context.
  static const unsigned char kBlank = 0;
  if (EVP_MAC_init(ctx, &kBlank, 1, nullptr) != 1) {
    hmac_fatal();
  }
}

void body_hex(const uint8_t* body, size_t length, char (&hex)[65]) {
  uint8_t digest[32];
  sha256(body, length, digest);
  sha256_hex(digest, hex);
}

int view_len(std::string_view s) {
  return static_cast<int>(s.size());
}

}  // namespace

size_t api_sign_canonical(const ApiSignInput& in, std::span<char> out) {
  char hex[65];
  body_hex(in.body, in.body_length, hex);
  int n =
      snprintf(out.data(), out.size(), "VRK1\n%.*s\n%.*s\n%.*s\n%.*s\n%.*s\n%s\n%.*s",
               view_len(in.method), in.method.data(), view_len(in.path), in.path.data(),
               view_len(in.query), in.query.data(), view_len(in.ts), in.ts.data(),
               view_len(in.nonce), in.nonce.data(), hex, view_len(in.if_match), in.if_match.data());
  if (n < 0 || static_cast<size_t>(n) >= out.size()) {
    return 0;
  }
  return static_cast<size_t>(n);
}

void api_sign_request_hex(std::string_view secret, std::string_view canonical,
                          char (&hex)[kApiSignatureHexSize]) {
  hmac_sha256_hex(secret, {canonical}, hex);
}

void api_sign_response_hex(std::string_view secret, std::string_view nonce, uint32_t status,
                           const uint8_t* body, size_t body_length,
                           char (&hex)[kApiSignatureHexSize]) {
  char digest_hex[65];
  body_hex(body, body_length, digest_hex);
  char head[kApiNonceSize + 32];
  int n = snprintf(head, sizeof head, "VRK1-R\n%.*s\n%u\n", view_len(nonce.substr(0, 32)),
                   nonce.data(), status);
  hmac_sha256_hex(secret, {std::string_view(head, static_cast<size_t>(n)), digest_hex}, hex);
}

}  // namespace vrk
