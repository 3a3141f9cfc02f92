// vrk_sched loads libcrypto when it first calls into it, not at start. Most commands (run,
// start, list) never do, and mapping and relocating the library (about 17,000 relocations over
// some 100 pages, each page copied) is most of what starting the program costs. The library is
// the distribution's, loaded by soname with the symbol versions the linker would bind, so its
// security updates apply as before. Only this program is built with this file (tests and
// vrk_sched_net link libcrypto as usual); it defines every libcrypto function the program
// calls, so the linker (--as-needed) leaves the library out of the start-up list. A function
// missing here keeps the library linked: slower, never wrong.
//
// The resolved addresses sit in a page of their own that is made read-only once filled, as
// full RELRO keeps the linker's.

#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include <string_view>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace vrk {
namespace {

inline constexpr const char* kCryptoSoname = "libcrypto.so.3";
inline constexpr const char* kCryptoSymbolVersion = "OPENSSL_3.0.0";
inline constexpr size_t kCryptoPageBytes = 4096;

constexpr const char* kCryptoFnNames[] = {
    "ASN1_IA5STRING_new",
    "ASN1_INTEGER_free",
    "ASN1_OCTET_STRING_new",
    "ASN1_OCTET_STRING_set",
    "ASN1_STRING_free",
    "ASN1_STRING_set",
    "BIO_free_all",
    "BIO_new_fd",
    "BN_bin2bn",
    "BN_free",
    "BN_to_ASN1_INTEGER",
    "CRYPTO_memcmp",
    "ERR_clear_error",
    "EVP_Digest",
    "EVP_EncodeBlock",
    "EVP_MAC_CTX_free",
    "EVP_MAC_CTX_new",
    "EVP_MAC_CTX_set_params",
    "EVP_MAC_fetch",
    "EVP_MAC_final",
    "EVP_MAC_free",
    "EVP_MAC_init",
    "EVP_MAC_update",
    "EVP_MD_fetch",
    "EVP_MD_free",
    "EVP_PKEY_Q_keygen",
    "EVP_PKEY_free",
    "GENERAL_NAMES_free",
    "GENERAL_NAME_free",
    "GENERAL_NAME_new",
    "GENERAL_NAME_set0_value",
    "OPENSSL_sk_new_null",
    "OPENSSL_sk_push",
    "OSSL_PARAM_construct_end",
    "OSSL_PARAM_construct_utf8_string",
    "PEM_read_bio_X509",
    "PEM_write_bio_PrivateKey",
    "PEM_write_bio_X509",
    "RAND_bytes",
    "X509_NAME_add_entry_by_txt",
    "X509_add1_ext_i2d",
    "X509_digest",
    "X509_free",
    "X509_get_subject_name",
    "X509_getm_notAfter",
    "X509_getm_notBefore",
    "X509_new",
    "X509_set_issuer_name",
    "X509_set_pubkey",
    "X509_set_serialNumber",
    "X509_set_version",
    "X509_sign",
    "X509_time_adj_ex",
};
inline constexpr size_t kCryptoFnCount = sizeof kCryptoFnNames / sizeof kCryptoFnNames[0];

constexpr size_t crypto_fn_index(std::string_view name) {
  size_t i = 0;
  while (i < kCryptoFnCount && std::string_view(kCryptoFnNames[i]) != name) {
    ++i;
  }
  return i;
}

struct alignas(kCryptoPageBytes) CryptoTable {
  void* fn[kCryptoFnCount] = {};
  bool loaded = false;
};
static_assert(sizeof(CryptoTable) == kCryptoPageBytes);
CryptoTable g_crypto;

[[noreturn]] void crypto_fail(const char* what, const char* why) {
  fprintf(stderr, "fatal: cannot load %s: %s%s%s\n", kCryptoSoname, what,
          why != nullptr ? ": " : "", why != nullptr ? why : "");
  abort();
}

// Like the dynamic linker failing at start, a library that cannot be loaded ends the program.
void crypto_load() {
  void* lib = dlopen(kCryptoSoname, RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    crypto_fail("dlopen", dlerror());
  }
  for (size_t i = 0; i < kCryptoFnCount; ++i) {
    void* f = dlvsym(lib, kCryptoFnNames[i], kCryptoSymbolVersion);
    if (f == nullptr) {
      crypto_fail(kCryptoFnNames[i], dlerror());
    }
    g_crypto.fn[i] = f;
  }
  g_crypto.loaded = true;
  if (mprotect(&g_crypto, sizeof g_crypto, PROT_READ) != 0) {
    crypto_fail("mprotect", strerror(errno));
  }
}

template <typename F, size_t I>
F crypto_fn() {
  static_assert(I < kCryptoFnCount, "a forwarded function must be in kCryptoFnNames");
  if (!g_crypto.loaded) {
    crypto_load();
  }
  return reinterpret_cast<F>(g_crypto.fn[I]);
}

}  // namespace
}  // namespace vrk

extern "C" {

// The wipe libcrypto's does (zeroes the compiler may not remove), without loading the library
// for it: run and list wipe configuration buffers and call nothing else of it.
void OPENSSL_cleanse(void* ptr, size_t len) {
  explicit_bzero(ptr, len);
}

// The variadic tail depends on the key type; this program only asks for "EC" keys, whose tail
// is the curve name (EVP_EC_gen). Any other type is refused rather than forwarded wrongly.
EVP_PKEY* EVP_PKEY_Q_keygen(OSSL_LIB_CTX* libctx, const char* propq, const char* type, ...) {
  if (type == nullptr || strcmp(type, "EC") != 0) {
    return nullptr;
  }
  va_list ap;
  va_start(ap, type);
  char* curve = va_arg(ap, char*);
  va_end(ap);
  return vrk::crypto_fn<decltype(&::EVP_PKEY_Q_keygen),
                        vrk::crypto_fn_index("EVP_PKEY_Q_keygen")>()(libctx, propq, type, curve);
}

ASN1_IA5STRING* ASN1_IA5STRING_new(void) {
  return vrk::crypto_fn<decltype(&::ASN1_IA5STRING_new),
                        vrk::crypto_fn_index("ASN1_IA5STRING_new")>()();
}

void ASN1_INTEGER_free(ASN1_INTEGER* a) {
  vrk::crypto_fn<decltype(&::ASN1_INTEGER_free), vrk::crypto_fn_index("ASN1_INTEGER_free")>()(a);
}

ASN1_OCTET_STRING* ASN1_OCTET_STRING_new(void) {
  return vrk::crypto_fn<decltype(&::ASN1_OCTET_STRING_new),
                        vrk::crypto_fn_index("ASN1_OCTET_STRING_new")>()();
}

int ASN1_OCTET_STRING_set(ASN1_OCTET_STRING* str, const unsigned char* data, int len) {
  return vrk::crypto_fn<decltype(&::ASN1_OCTET_STRING_set),
                        vrk::crypto_fn_index("ASN1_OCTET_STRING_set")>()(str, data, len);
}

void ASN1_STRING_free(ASN1_STRING* a) {
  vrk::crypto_fn<decltype(&::ASN1_STRING_free), vrk::crypto_fn_index("ASN1_STRING_free")>()(a);
}

int ASN1_STRING_set(ASN1_STRING* str, const void* data, int len) {
  return vrk::crypto_fn<decltype(&::ASN1_STRING_set), vrk::crypto_fn_index("ASN1_STRING_set")>()(
      str, data, len);
}

void BIO_free_all(BIO* a) {
  vrk::crypto_fn<decltype(&::BIO_free_all), vrk::crypto_fn_index("BIO_free_all")>()(a);
}

BIO* BIO_new_fd(int fd, int close_flag) {
  return vrk::crypto_fn<decltype(&::BIO_new_fd), vrk::crypto_fn_index("BIO_new_fd")>()(fd,
                                                                                       close_flag);
}

BIGNUM* BN_bin2bn(const unsigned char* s, int len, BIGNUM* ret) {
  return vrk::crypto_fn<decltype(&::BN_bin2bn), vrk::crypto_fn_index("BN_bin2bn")>()(s, len, ret);
}

void BN_free(BIGNUM* a) {
  vrk::crypto_fn<decltype(&::BN_free), vrk::crypto_fn_index("BN_free")>()(a);
}

ASN1_INTEGER* BN_to_ASN1_INTEGER(const BIGNUM* bn, ASN1_INTEGER* ai) {
  return vrk::crypto_fn<decltype(&::BN_to_ASN1_INTEGER),
                        vrk::crypto_fn_index("BN_to_ASN1_INTEGER")>()(bn, ai);
}

int CRYPTO_memcmp(const void* in_a, const void* in_b, size_t len) {
  return vrk::crypto_fn<decltype(&::CRYPTO_memcmp), vrk::crypto_fn_index("CRYPTO_memcmp")>()(
      in_a, in_b, len);
}

void ERR_clear_error(void) {
  vrk::crypto_fn<decltype(&::ERR_clear_error), vrk::crypto_fn_index("ERR_clear_error")>()();
}

int EVP_Digest(const void* data, size_t count, unsigned char* md, unsigned int* size,
               const EVP_MD* type, ENGINE* impl) {
  return vrk::crypto_fn<decltype(&::EVP_Digest), vrk::crypto_fn_index("EVP_Digest")>()(
      data, count, md, size, type, impl);
}

int EVP_EncodeBlock(unsigned char* t, const unsigned char* f, int n) {
  return vrk::crypto_fn<decltype(&::EVP_EncodeBlock), vrk::crypto_fn_index("EVP_EncodeBlock")>()(
      t, f, n);
}

void EVP_MAC_CTX_free(EVP_MAC_CTX* ctx) {
  vrk::crypto_fn<decltype(&::EVP_MAC_CTX_free), vrk::crypto_fn_index("EVP_MAC_CTX_free")>()(ctx);
}

EVP_MAC_CTX* EVP_MAC_CTX_new(EVP_MAC* mac) {
  return vrk::crypto_fn<decltype(&::EVP_MAC_CTX_new), vrk::crypto_fn_index("EVP_MAC_CTX_new")>()(
      mac);
}

int EVP_MAC_CTX_set_params(EVP_MAC_CTX* ctx, const OSSL_PARAM params[]) {
  return vrk::crypto_fn<decltype(&::EVP_MAC_CTX_set_params),
                        vrk::crypto_fn_index("EVP_MAC_CTX_set_params")>()(ctx, params);
}

EVP_MAC* EVP_MAC_fetch(OSSL_LIB_CTX* libctx, const char* algorithm, const char* properties) {
  return vrk::crypto_fn<decltype(&::EVP_MAC_fetch), vrk::crypto_fn_index("EVP_MAC_fetch")>()(
      libctx, algorithm, properties);
}

int EVP_MAC_final(EVP_MAC_CTX* ctx, unsigned char* out, size_t* outl, size_t outsize) {
  return vrk::crypto_fn<decltype(&::EVP_MAC_final), vrk::crypto_fn_index("EVP_MAC_final")>()(
      ctx, out, outl, outsize);
}

void EVP_MAC_free(EVP_MAC* mac) {
  vrk::crypto_fn<decltype(&::EVP_MAC_free), vrk::crypto_fn_index("EVP_MAC_free")>()(mac);
}

int EVP_MAC_init(EVP_MAC_CTX* ctx, const unsigned char* key, size_t keylen,
                 const OSSL_PARAM params[]) {
  return vrk::crypto_fn<decltype(&::EVP_MAC_init), vrk::crypto_fn_index("EVP_MAC_init")>()(
      ctx, key, keylen, params);
}

int EVP_MAC_update(EVP_MAC_CTX* ctx, const unsigned char* data, size_t datalen) {
  return vrk::crypto_fn<decltype(&::EVP_MAC_update), vrk::crypto_fn_index("EVP_MAC_update")>()(
      ctx, data, datalen);
}

EVP_MD* EVP_MD_fetch(OSSL_LIB_CTX* ctx, const char* algorithm, const char* properties) {
  return vrk::crypto_fn<decltype(&::EVP_MD_fetch), vrk::crypto_fn_index("EVP_MD_fetch")>()(
      ctx, algorithm, properties);
}

void EVP_MD_free(EVP_MD* md) {
  vrk::crypto_fn<decltype(&::EVP_MD_free), vrk::crypto_fn_index("EVP_MD_free")>()(md);
}

void EVP_PKEY_free(EVP_PKEY* pkey) {
  vrk::crypto_fn<decltype(&::EVP_PKEY_free), vrk::crypto_fn_index("EVP_PKEY_free")>()(pkey);
}

void GENERAL_NAMES_free(GENERAL_NAMES* a) {
  vrk::crypto_fn<decltype(&::GENERAL_NAMES_free), vrk::crypto_fn_index("GENERAL_NAMES_free")>()(a);
}

void GENERAL_NAME_free(GENERAL_NAME* a) {
  vrk::crypto_fn<decltype(&::GENERAL_NAME_free), vrk::crypto_fn_index("GENERAL_NAME_free")>()(a);
}

GENERAL_NAME* GENERAL_NAME_new(void) {
  return vrk::crypto_fn<decltype(&::GENERAL_NAME_new),
                        vrk::crypto_fn_index("GENERAL_NAME_new")>()();
}

void GENERAL_NAME_set0_value(GENERAL_NAME* a, int type, void* value) {
  vrk::crypto_fn<decltype(&::GENERAL_NAME_set0_value),
                 vrk::crypto_fn_index("GENERAL_NAME_set0_value")>()(a, type, value);
}

OPENSSL_STACK* OPENSSL_sk_new_null(void) {
  return vrk::crypto_fn<decltype(&::OPENSSL_sk_new_null),
                        vrk::crypto_fn_index("OPENSSL_sk_new_null")>()();
}

int OPENSSL_sk_push(OPENSSL_STACK* st, const void* data) {
  return vrk::crypto_fn<decltype(&::OPENSSL_sk_push), vrk::crypto_fn_index("OPENSSL_sk_push")>()(
      st, data);
}

OSSL_PARAM OSSL_PARAM_construct_end(void) {
  return vrk::crypto_fn<decltype(&::OSSL_PARAM_construct_end),
                        vrk::crypto_fn_index("OSSL_PARAM_construct_end")>()();
}

OSSL_PARAM OSSL_PARAM_construct_utf8_string(const char* key, char* buf, size_t bsize) {
  return vrk::crypto_fn<decltype(&::OSSL_PARAM_construct_utf8_string),
                        vrk::crypto_fn_index("OSSL_PARAM_construct_utf8_string")>()(key, buf,
                                                                                    bsize);
}

X509* PEM_read_bio_X509(BIO* out, X509** x, pem_password_cb* cb, void* u) {
  return vrk::crypto_fn<decltype(&::PEM_read_bio_X509),
                        vrk::crypto_fn_index("PEM_read_bio_X509")>()(out, x, cb, u);
}

int PEM_write_bio_PrivateKey(BIO* out, const EVP_PKEY* x, const EVP_CIPHER* enc,
                             const unsigned char* kstr, int klen, pem_password_cb* cb, void* u) {
  return vrk::crypto_fn<decltype(&::PEM_write_bio_PrivateKey),
                        vrk::crypto_fn_index("PEM_write_bio_PrivateKey")>()(out, x, enc, kstr, klen,
                                                                            cb, u);
}

int PEM_write_bio_X509(BIO* out, const X509* x) {
  return vrk::crypto_fn<decltype(&::PEM_write_bio_X509),
                        vrk::crypto_fn_index("PEM_write_bio_X509")>()(out, x);
}

int RAND_bytes(unsigned char* buf, int num) {
  return vrk::crypto_fn<decltype(&::RAND_bytes), vrk::crypto_fn_index("RAND_bytes")>()(buf, num);
}

int X509_NAME_add_entry_by_txt(X509_NAME* name, const char* field, int type,
                               const unsigned char* bytes, int len, int loc, int set) {
  return vrk::crypto_fn<decltype(&::X509_NAME_add_entry_by_txt),
                        vrk::crypto_fn_index("X509_NAME_add_entry_by_txt")>()(name, field, type,
                                                                              bytes, len, loc, set);
}

int X509_add1_ext_i2d(X509* x, int nid, void* value, int crit, unsigned long flags) {
  return vrk::crypto_fn<decltype(&::X509_add1_ext_i2d),
                        vrk::crypto_fn_index("X509_add1_ext_i2d")>()(x, nid, value, crit, flags);
}

int X509_digest(const X509* data, const EVP_MD* type, unsigned char* md, unsigned int* len) {
  return vrk::crypto_fn<decltype(&::X509_digest), vrk::crypto_fn_index("X509_digest")>()(data, type,
                                                                                         md, len);
}

void X509_free(X509* a) {
  vrk::crypto_fn<decltype(&::X509_free), vrk::crypto_fn_index("X509_free")>()(a);
}

X509_NAME* X509_get_subject_name(const X509* a) {
  return vrk::crypto_fn<decltype(&::X509_get_subject_name),
                        vrk::crypto_fn_index("X509_get_subject_name")>()(a);
}

ASN1_TIME* X509_getm_notAfter(const X509* x) {
  return vrk::crypto_fn<decltype(&::X509_getm_notAfter),
                        vrk::crypto_fn_index("X509_getm_notAfter")>()(x);
}

ASN1_TIME* X509_getm_notBefore(const X509* x) {
  return vrk::crypto_fn<decltype(&::X509_getm_notBefore),
                        vrk::crypto_fn_index("X509_getm_notBefore")>()(x);
}

X509* X509_new(void) {
  return vrk::crypto_fn<decltype(&::X509_new), vrk::crypto_fn_index("X509_new")>()();
}

int X509_set_issuer_name(X509* x, const X509_NAME* name) {
  return vrk::crypto_fn<decltype(&::X509_set_issuer_name),
                        vrk::crypto_fn_index("X509_set_issuer_name")>()(x, name);
}

int X509_set_pubkey(X509* x, EVP_PKEY* pkey) {
  return vrk::crypto_fn<decltype(&::X509_set_pubkey), vrk::crypto_fn_index("X509_set_pubkey")>()(
      x, pkey);
}

int X509_set_serialNumber(X509* x, ASN1_INTEGER* serial) {
  return vrk::crypto_fn<decltype(&::X509_set_serialNumber),
                        vrk::crypto_fn_index("X509_set_serialNumber")>()(x, serial);
}

int X509_set_version(X509* x, long version) {
  return vrk::crypto_fn<decltype(&::X509_set_version), vrk::crypto_fn_index("X509_set_version")>()(
      x, version);
}

int X509_sign(X509* x, EVP_PKEY* pkey, const EVP_MD* md) {
  return vrk::crypto_fn<decltype(&::X509_sign), vrk::crypto_fn_index("X509_sign")>()(x, pkey, md);
}

ASN1_TIME* X509_time_adj_ex(ASN1_TIME* s, int offset_day, long offset_sec, time_t* t) {
  return vrk::crypto_fn<decltype(&::X509_time_adj_ex), vrk::crypto_fn_index("X509_time_adj_ex")>()(
      s, offset_day, offset_sec, t);
}
}  // extern "C"
