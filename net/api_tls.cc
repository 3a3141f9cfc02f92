#include "net/api_tls.h"

#include <limits.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include "common/error.h"

namespace vrk {

namespace {

constexpr const char* kUnusable =
    "the API certificate/key cannot be used (not PEM, or they do not belong together)";

// An encrypted key has no password here: refuse it instead of letting OpenSSL ask a terminal.
int no_password(char*, int, int, void*) {
  return 0;
}

BioPtr memory_bio(std::string_view text) {
  if (text.size() > static_cast<size_t>(INT_MAX)) {
    return nullptr;
  }
  return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

// The end of the text leaves "no start line" in the error queue; any other error means a
// broken certificate, which must not silently shorten the chain.
bool at_end_of_text() {
  unsigned long e = ERR_peek_last_error();
  return ERR_GET_LIB(e) == ERR_LIB_PEM && ERR_GET_REASON(e) == PEM_R_NO_START_LINE;
}

int load_identity(SSL_CTX* ctx, std::string_view cert_pem, std::string_view key_pem) {
  BioPtr cert_bio = memory_bio(cert_pem);
  BioPtr key_bio = memory_bio(key_pem);
  if (!cert_bio || !key_bio) {
    return -1;
  }
  X509Ptr cert(PEM_read_bio_X509(cert_bio.get(), nullptr, no_password, nullptr));
  EvpPkeyPtr key(PEM_read_bio_PrivateKey(key_bio.get(), nullptr, no_password, nullptr));
  if (!cert || !key || SSL_CTX_use_certificate(ctx, cert.get()) != 1 ||
      SSL_CTX_use_PrivateKey(ctx, key.get()) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
    return -1;
  }
  for (;;) {
    X509Ptr extra(PEM_read_bio_X509(cert_bio.get(), nullptr, no_password, nullptr));
    if (!extra) {
      break;
    }
    if (SSL_CTX_add_extra_chain_cert(ctx, extra.get()) != 1) {
      return -1;
    }
    extra.release();  // the context owns it now
  }
  if (!at_end_of_text()) {
    return -1;
  }
  ERR_clear_error();
  return 0;
}

}  // namespace

int api_tls_context_new(std::string_view cert_pem, std::string_view key_pem, SslCtxPtr& ctx,
                        std::span<char> err) {
  if (!err.empty()) {
    err[0] = '\0';
  }
  ERR_clear_error();
  SslCtxPtr fresh(SSL_CTX_new(TLS_server_method()));
  if (!fresh) {
    err_set(err, "SSL_CTX_new failed");
    return -1;
  }
  SSL_CTX* c = fresh.get();
  if (SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION) != 1) {
    err_set(err, "SSL_CTX_new failed");
    return -1;
  }
  // The ticket count covers TLS 1.3 only; SSL_OP_NO_TICKET keeps TLS 1.2 from resuming through
  // stateless tickets, which need no session cache.
  SSL_CTX_set_options(c, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE |
                             SSL_OP_NO_COMPRESSION | SSL_OP_NO_TICKET);
  SSL_CTX_set_mode(c, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // One read for a record's header and body (and whatever follows) instead of two. Bytes may
  // then wait inside the TLS layer with the socket not readable: the server reads until
  // SSL_ERROR_WANT_READ before it waits for the socket.
  SSL_CTX_set_read_ahead(c, 1);
  SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(c, 0);
  if (load_identity(c, cert_pem, key_pem) != 0) {
    ERR_clear_error();
    err_set(err, "%s", kUnusable);
    return -1;
  }
  ctx = std::move(fresh);
  return 0;
}

}  // namespace vrk
