// Test helpers: P-256 keys and certificates (self-signed or signed by a test CA) as PEM texts,
// made with the OpenSSL API at test time.
#pragma once

#include <string>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "common/handles.h"

namespace vrk {

inline EvpPkeyPtr test_key_new() {
  return EvpPkeyPtr(EVP_EC_gen("P-256"));
}

// A certificate for subject and key, signed by issuer_key under issuer's name (self-signed
// when issuer is null); a CA certificate when ca is set.
inline X509Ptr test_cert_new(EVP_PKEY* key, const char* subject, EVP_PKEY* issuer_key, X509* issuer,
                             bool ca) {
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

inline std::string test_bio_text(BIO* bio) {
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(n));
}

inline std::string test_cert_pem(X509* cert) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(bio.get(), cert);
  return test_bio_text(bio.get());
}

// The key as PEM, encrypted with password when one is given.
inline std::string test_key_pem(EVP_PKEY* key, const char* password = nullptr) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_PrivateKey(bio.get(), key, password ? EVP_aes_128_cbc() : nullptr, nullptr, 0,
                           nullptr, const_cast<char*>(password));
  return test_bio_text(bio.get());
}

struct TestIdentity {
  std::string cert_pem;
  std::string key_pem;
};

// A self-signed certificate for 127.0.0.1 and its key.
inline TestIdentity test_identity_new() {
  EvpPkeyPtr key = test_key_new();
  X509Ptr cert = test_cert_new(key.get(), "127.0.0.1", key.get(), nullptr, false);
  return {test_cert_pem(cert.get()), test_key_pem(key.get())};
}

}  // namespace vrk
