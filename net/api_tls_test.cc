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

namespace vrk {
namespace {

constexpr const char* kUnusable =
    "the API certificate/key cannot be used (not PEM, or they do not belong together)";

EvpPkeyPtr make_key() {
  return EvpPkeyPtr(EVP_EC_gen("P-256"));
}

// A certificate for subject, signed by issuer_key under issuer's name (itself when null).
X509Ptr make_cert(EVP_PKEY* key, const char* subject, EVP_PKEY* issuer_key, X509* issuer, bool ca) {
  X509Ptr cert(X509_new());
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), ca ? 1 : 2);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(subject), -1, -1, 0);
  X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
  X509V3_CTX v3;
  X509V3_set_ctx_nodb(&v3);
  X509V3_set_ctx(&v3, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, NID_basic_constraints,
                                            ca ? "critical,CA:TRUE" : "CA:FALSE");
  X509_add_ext(cert.get(), ext, -1);
  X509_EXTENSION_free(ext);
  X509_sign(cert.get(), issuer_key, EVP_sha256());
  return cert;
}

std::string bio_text(BIO* bio) {
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(n));
}

std::string cert_pem(X509* cert) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(bio.get(), cert);
  return bio_text(bio.get());
}

std::string key_pem(EVP_PKEY* key, const char* password = nullptr) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (password) {
    PEM_write_bio_PrivateKey(bio.get(), key, EVP_aes_128_cbc(), nullptr, 0, nullptr,
                             const_cast<char*>(password));
  } else {
    PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
  }
  return bio_text(bio.get());
}

// A CA, a server certificate signed by it, and an unrelated key, made once for the suite.
class ApiTlsContextNew : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ca_key_ = make_key().release();
    server_key_ = make_key().release();
    other_key_ = make_key().release();
    ca_ = make_cert(ca_key_, "test CA", ca_key_, nullptr, true).release();
    server_ = make_cert(server_key_, "127.0.0.1", ca_key_, ca_, false).release();
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
  ASSERT_EQ(api_tls_context_new(cert_pem(server_), key_pem(server_key_), ctx, err), 0) << err;
  EXPECT_STREQ(err, "");
  ASSERT_TRUE(ctx);
  EXPECT_EQ(SSL_CTX_get_min_proto_version(ctx.get()), TLS1_2_VERSION);
  uint64_t want_options =
      SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_COMPRESSION;
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
  std::string chain = cert_pem(server_) + cert_pem(ca_);
  ASSERT_EQ(api_tls_context_new(chain, key_pem(server_key_), ctx, err), 0) << err;
  STACK_OF(X509)* extra = nullptr;
  SSL_CTX_get_extra_chain_certs_only(ctx.get(), &extra);
  ASSERT_NE(extra, nullptr);
  ASSERT_EQ(sk_X509_num(extra), 1);
  EXPECT_EQ(X509_cmp(sk_X509_value(extra, 0), ca_), 0);
  // The end of the text leaves nothing behind in the error queue.
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST_F(ApiTlsContextNew, UnusableInputKeepsTheOldContext) {
  std::string good_cert = cert_pem(server_);
  std::string good_key = key_pem(server_key_);
  std::string broken_ca = cert_pem(ca_);
  broken_ca.replace(broken_ca.find('\n') + 5, 8, "!!!!!!!!");
  struct Case {
    const char* what;
    std::string cert;
    std::string key;
  };
  const Case cases[] = {
      {"key of another certificate", good_cert, key_pem(other_key_)},
      {"cert and key swapped", good_key, good_cert},
      {"certificate not PEM", "hello", good_key},
      {"key not PEM", good_cert, "hello"},
      {"empty certificate", "", good_key},
      {"empty key", good_cert, ""},
      {"encrypted key", good_cert, key_pem(server_key_, "secret")},
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
  ASSERT_EQ(api_tls_context_new(cert_pem(server_) + cert_pem(ca_), key_pem(server_key_), ctx, err),
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
