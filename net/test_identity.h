// Test helper: a self-signed P-256 certificate for 127.0.0.1 and its key as PEM texts, made with
// the OpenSSL API at test time.
#pragma once

#include <string>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "common/handles.h"

namespace vrk {

struct TestIdentity {
  std::string cert_pem;
  std::string key_pem;
};

inline TestIdentity test_identity_new() {
  EvpPkeyPtr key(EVP_EC_gen("P-256"));
  X509Ptr cert(X509_new());
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509_sign(cert.get(), key.get(), EVP_sha256());
  TestIdentity id;
  BioPtr cert_bio(BIO_new(BIO_s_mem()));
  BioPtr key_bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(cert_bio.get(), cert.get());
  PEM_write_bio_PrivateKey(key_bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  long n = BIO_get_mem_data(cert_bio.get(), &data);
  id.cert_pem.assign(data, static_cast<size_t>(n));
  n = BIO_get_mem_data(key_bio.get(), &data);
  id.key_pem.assign(data, static_cast<size_t>(n));
  return id;
}

}  // namespace vrk
