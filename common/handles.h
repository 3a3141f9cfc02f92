// Owners for library handles: one std::unique_ptr alias per OpenSSL or curl handle type.
#pragma once

#include <memory>

#include <curl/curl.h>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace vrk {

template <auto F>
struct FreeWith {
  template <typename T>
  void operator()(T* p) const {
    F(p);
  }
};

using SslCtxPtr = std::unique_ptr<SSL_CTX, FreeWith<SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, FreeWith<SSL_free>>;
using EvpMdPtr = std::unique_ptr<EVP_MD, FreeWith<EVP_MD_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, FreeWith<EVP_MD_CTX_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, FreeWith<EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, FreeWith<X509_free>>;
using BioPtr = std::unique_ptr<BIO, FreeWith<BIO_free_all>>;
using BignumPtr = std::unique_ptr<BIGNUM, FreeWith<BN_free>>;
using Asn1IntegerPtr = std::unique_ptr<ASN1_INTEGER, FreeWith<ASN1_INTEGER_free>>;
using Asn1StringPtr = std::unique_ptr<ASN1_STRING, FreeWith<ASN1_STRING_free>>;
using GeneralNamePtr = std::unique_ptr<GENERAL_NAME, FreeWith<GENERAL_NAME_free>>;
using GeneralNamesPtr = std::unique_ptr<GENERAL_NAMES, FreeWith<GENERAL_NAMES_free>>;
using CurlMultiPtr = std::unique_ptr<CURLM, FreeWith<curl_multi_cleanup>>;
using CurlEasyPtr = std::unique_ptr<CURL, FreeWith<curl_easy_cleanup>>;
using CurlSlistPtr = std::unique_ptr<curl_slist, FreeWith<curl_slist_free_all>>;

}  // namespace vrk
