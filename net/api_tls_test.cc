#include "net/api_tls.h"

#include <string>

#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "net/test_identity.h"

namespace vrk {
namespace {

constexpr const char* kUnusable =
    "the API certificate/key cannot be used (not PEM, or they do not belong together)";

// A CA, a server certificate signed by it, and an unrelated key, made once for the suite.
class ApiTlsContextNew : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ca_key_ = test_key_new().release();
    server_key_ = test_key_new().release();
    other_key_ = test_key_new().release();
    ca_ = test_cert_new(ca_key_, "test CA", ca_key_, nullptr, true).release();
    server_ = test_cert_new(server_key_, "127.0.0.1", ca_key_, ca_, false).release();
  }
  static void TearDownTestSuite() {
    X509_free(server_);
    X509_free(ca_);
    EVP_PKEY_free(other_key_);
    EVP_PKEY_free(server_key_);
    EVP_PKEY_free(ca_key_);
  }

  static EVP_PKEY* ca_key_;
  static EVP_PKEY* server_key_;
  static EVP_PKEY* other_key_;
  static X509* ca_;
  static X509* server_;
};
EVP_PKEY* ApiTlsContextNew::ca_key_ = nullptr;
EVP_PKEY* ApiTlsContextNew::server_key_ = nullptr;
EVP_PKEY* ApiTlsContextNew::other_key_ = nullptr;
X509* ApiTlsContextNew::ca_ = nullptr;
X509* ApiTlsContextNew::server_ = nullptr;

TEST_F(ApiTlsContextNew, SetsTheServerPolicy) {
  SslCtxPtr ctx;
  char err[128] = "x";
  ASSERT_EQ(api_tls_context_new(test_cert_pem(server_), test_key_pem(server_key_), ctx, err), 0)
      << err;
  EXPECT_STREQ(err, "");
  ASSERT_TRUE(ctx);
  EXPECT_EQ(SSL_CTX_get_min_proto_version(ctx.get()), TLS1_2_VERSION);
  uint64_t want_options = SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE |
                          SSL_OP_NO_COMPRESSION | SSL_OP_NO_TICKET;
  EXPECT_EQ(SSL_CTX_get_options(ctx.get()) & want_options, want_options);
  long want_mode = SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER;
  EXPECT_EQ(SSL_CTX_get_mode(ctx.get()) & want_mode, want_mode);
  EXPECT_EQ(SSL_CTX_get_session_cache_mode(ctx.get()), SSL_SESS_CACHE_OFF);
  EXPECT_EQ(SSL_CTX_get_num_tickets(ctx.get()), 0u);
  STACK_OF(X509)* extra = nullptr;
  SSL_CTX_get_extra_chain_certs_only(ctx.get(), &extra);
  EXPECT_EQ(extra ? sk_X509_num(extra) : 0, 0);
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST_F(ApiTlsContextNew, FurtherCertificatesBecomeTheChain) {
  SslCtxPtr ctx;
  char err[128];
  std::string chain = test_cert_pem(server_) + test_cert_pem(ca_);
  ASSERT_EQ(api_tls_context_new(chain, test_key_pem(server_key_), ctx, err), 0) << err;
  STACK_OF(X509)* extra = nullptr;
  SSL_CTX_get_extra_chain_certs_only(ctx.get(), &extra);
  ASSERT_NE(extra, nullptr);
  ASSERT_EQ(sk_X509_num(extra), 1);
  EXPECT_EQ(X509_cmp(sk_X509_value(extra, 0), ca_), 0);
  // The end of the text leaves nothing behind in the error queue.
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST_F(ApiTlsContextNew, UnusableInputKeepsTheOldContext) {
  std::string good_cert = test_cert_pem(server_);
  std::string good_key = test_key_pem(server_key_);
  std::string broken_ca = test_cert_pem(ca_);
  broken_ca.replace(broken_ca.find('\n') + 5, 8, "!!!!!!!!");
  struct Case {
    const char* what;
    std::string cert;
    std::string key;
  };
  const Case cases[] = {
      {"key of another certificate", good_cert, test_key_pem(other_key_)},
      {"cert and key swapped", good_key, good_cert},
      {"certificate not PEM", "hello", good_key},
      {"key not PEM", good_cert, "hello"},
      {"empty certificate", "", good_key},
      {"empty key", good_cert, ""},
      {"encrypted key", good_cert, test_key_pem(server_key_, "secret")},
      {"broken chain certificate", good_cert + broken_ca, good_key},
  };
  SslCtxPtr ctx;
  char err[128];
  ASSERT_EQ(api_tls_context_new(good_cert, good_key, ctx, err), 0);
  SSL_CTX* old = ctx.get();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(api_tls_context_new(c.cert, c.key, ctx, err), -1);
    EXPECT_STREQ(err, kUnusable);
    EXPECT_EQ(ctx.get(), old);
    EXPECT_EQ(ERR_peek_error(), 0u);
  }
  SslCtxPtr none;
  EXPECT_EQ(api_tls_context_new("hello", good_key, none, err), -1);
  EXPECT_FALSE(none);
}

// Client and server over a memory BIO pair, driven in turn until both are done or stuck.
// Returns true when the handshake completed on both sides.
bool handshake(SSL_CTX* server_ctx, SSL_CTX* client_ctx, SSL** out_client = nullptr) {
  SslPtr server(SSL_new(server_ctx));
  SslPtr client(SSL_new(client_ctx));
  BIO* a = nullptr;
  BIO* b = nullptr;
  BIO_new_bio_pair(&a, 0, &b, 0);
  SSL_set_bio(server.get(), a, a);
  SSL_set_bio(client.get(), b, b);
  SSL_set_accept_state(server.get());
  SSL_set_connect_state(client.get());
  bool server_done = false;
  bool client_done = false;
  for (int i = 0; i < 100 && !(server_done && client_done); ++i) {
    int rc = SSL_do_handshake(client.get());
    if (rc != 1 && SSL_get_error(client.get(), rc) != SSL_ERROR_WANT_READ) {
      break;
    }
    client_done = rc == 1;
    rc = SSL_do_handshake(server.get());
    if (rc != 1 && SSL_get_error(server.get(), rc) != SSL_ERROR_WANT_READ) {
      break;
    }
    server_done = rc == 1;
  }
  ERR_clear_error();
  if (out_client) {
    *out_client = client.release();
  }
  return server_done && client_done;
}

TEST_F(ApiTlsContextNew, HandshakesWithTls12AndUpOnly) {
  SslCtxPtr ctx;
  char err[128];
  ASSERT_EQ(api_tls_context_new(test_cert_pem(server_) + test_cert_pem(ca_),
                                test_key_pem(server_key_), ctx, err),
            0);

  SslCtxPtr client_ctx(SSL_CTX_new(TLS_client_method()));
  X509_STORE_add_cert(SSL_CTX_get_cert_store(client_ctx.get()), ca_);
  SSL_CTX_set_verify(client_ctx.get(), SSL_VERIFY_PEER, nullptr);
  SSL* client = nullptr;
  EXPECT_TRUE(handshake(ctx.get(), client_ctx.get(), &client));
  SslPtr client_owner(client);
  EXPECT_EQ(SSL_get_verify_result(client), X509_V_OK);
  EXPECT_EQ(SSL_version(client), TLS1_3_VERSION);

  SslCtxPtr tls12(SSL_CTX_new(TLS_client_method()));
  SSL_CTX_set_max_proto_version(tls12.get(), TLS1_2_VERSION);
  EXPECT_TRUE(handshake(ctx.get(), tls12.get()));

  SslCtxPtr tls11(SSL_CTX_new(TLS_client_method()));
  SSL_CTX_set_security_level(tls11.get(), 0);
  SSL_CTX_set_min_proto_version(tls11.get(), TLS1_VERSION);
  SSL_CTX_set_max_proto_version(tls11.get(), TLS1_1_VERSION);
  EXPECT_FALSE(handshake(ctx.get(), tls11.get()));
}

}  // namespace
}  // namespace vrk
