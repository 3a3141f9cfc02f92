#include "sched/api/cert.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "common/error.h"
#include "common/fd.h"
#include "common/handles.h"

namespace vrk {
namespace {

inline constexpr int kSerialBytes = 16;

// SHA-256, fetched once for the life of the process; nullptr when the library cannot give it.
const EVP_MD* cert_sha256() {
  static EvpMdPtr md(EVP_MD_fetch(nullptr, "SHA256", nullptr));
  return md.get();
}

bool path_exists(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0;
}

bool cert_set_serial(X509* x) {
  unsigned char bytes[kSerialBytes];
  if (RAND_bytes(bytes, sizeof bytes) != 1) {
    return false;
  }
  bytes[0] &= 0x7F;  // a positive number in its DER form
  BignumPtr bn(BN_bin2bn(bytes, sizeof bytes, nullptr));
  if (!bn) {
    return false;
  }
  Asn1IntegerPtr serial(BN_to_ASN1_INTEGER(bn.get(), nullptr));
  return serial && X509_set_serialNumber(x, serial.get()) == 1;
}

// The one subjectAltName: IP:cn for a numeric address, else DNS:cn. The name is built as a
// value rather than parsed from a "DNS:%s" text, so a comma in cn cannot add further names.
bool cert_add_alt_name(X509* x, const char* cn) {
  unsigned char addr[sizeof(struct in6_addr)];
  int addr_len = 0;
  if (inet_pton(AF_INET, cn, addr) == 1) {
    addr_len = sizeof(struct in_addr);
  } else if (inet_pton(AF_INET6, cn, addr) == 1) {
    addr_len = sizeof(struct in6_addr);
  }
  GeneralNamePtr name(GENERAL_NAME_new());
  if (!name) {
    return false;
  }
  if (addr_len > 0) {
    Asn1StringPtr ip(ASN1_OCTET_STRING_new());
    if (!ip || ASN1_OCTET_STRING_set(ip.get(), addr, addr_len) != 1) {
      return false;
    }
    GENERAL_NAME_set0_value(name.get(), GEN_IPADD, ip.release());
  } else {
    Asn1StringPtr dns(ASN1_IA5STRING_new());
    if (!dns || ASN1_STRING_set(dns.get(), cn, static_cast<int>(strlen(cn))) != 1) {
      return false;
    }
    GENERAL_NAME_set0_value(name.get(), GEN_DNS, dns.release());
  }
  GeneralNamesPtr names(sk_GENERAL_NAME_new_null());
  if (!names || sk_GENERAL_NAME_push(names.get(), name.get()) <= 0) {
    return false;
  }
  name.release();  // the stack owns it now
  return X509_add1_ext_i2d(x, NID_subject_alt_name, names.get(), 0, X509V3_ADD_DEFAULT) == 1;
}

X509Ptr cert_build(EVP_PKEY* key, const char* cn, int days) {
  X509Ptr x(X509_new());
  if (!x || X509_set_version(x.get(), X509_VERSION_3) != 1 || !cert_set_serial(x.get())) {
    return nullptr;
  }
  // One reading of the clock for both ends, so the validity is exactly days long.
  time_t now = time(nullptr);
  if (X509_time_adj_ex(X509_getm_notBefore(x.get()), 0, 0, &now) == nullptr ||
      X509_time_adj_ex(X509_getm_notAfter(x.get()), days, 0, &now) == nullptr) {
    return nullptr;
  }
  if (X509_set_pubkey(x.get(), key) != 1) {
    return nullptr;
  }
  X509_NAME* subject = X509_get_subject_name(x.get());
  if (X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>(cn), -1, -1, 0) != 1 ||
      X509_set_issuer_name(x.get(), subject) != 1) {
    return nullptr;
  }
  if (!cert_add_alt_name(x.get(), cn)) {
    return nullptr;
  }
  const EVP_MD* md = cert_sha256();
  if (md == nullptr || X509_sign(x.get(), key, md) <= 0) {
    return nullptr;
  }
  return x;
}

// Writes the key to a file created anew: an older file of that name may have wider
// permissions, and O_EXCL makes sure the key never lands in a file someone else put there.
bool cert_write_key(const char* key_path, EVP_PKEY* key) {
  if (unlink(key_path) != 0 && errno != ENOENT) {
    return false;
  }
  UniqueFd fd(open(key_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.valid()) {
    return false;
  }
  BioPtr bio(BIO_new_fd(fd.get(), BIO_NOCLOSE));
  if (!bio ||
      PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    return false;
  }
  bio.reset();
  return close(fd.release()) == 0;
}

bool cert_write_cert(const char* cert_path, X509* x) {
  UniqueFd fd(open(cert_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd.valid()) {
    return false;
  }
  BioPtr bio(BIO_new_fd(fd.get(), BIO_NOCLOSE));
  if (!bio || PEM_write_bio_X509(bio.get(), x) != 1) {
    return false;
  }
  bio.reset();
  return close(fd.release()) == 0;
}

}  // namespace

int cert_create(const char* cert_path, const char* key_path, const char* cn, int days, bool force) {
  if (cert_path == nullptr || cert_path[0] == '\0' || key_path == nullptr || key_path[0] == '\0' ||
      cn == nullptr || cn[0] == '\0') {
    return kErrInvalid;
  }
  if (!force && (path_exists(cert_path) || path_exists(key_path))) {
    return kErrExists;
  }
  ERR_clear_error();
  EvpPkeyPtr key(EVP_EC_gen("P-256"));
  if (!key) {
    return kErrIo;
  }
  X509Ptr x = cert_build(key.get(), cn, days);
  if (!x || !cert_write_key(key_path, key.get()) || !cert_write_cert(cert_path, x.get())) {
    return kErrIo;
  }
  return 0;
}

int cert_fingerprint(const char* cert_path, char (&fingerprint)[kCertFingerprintSize]) {
  fingerprint[0] = '\0';
  UniqueFd fd(open(cert_path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) {
    return kErrNotFound;
  }
  BioPtr bio(BIO_new_fd(fd.get(), BIO_NOCLOSE));
  if (!bio) {
    return kErrIo;
  }
  ERR_clear_error();
  X509Ptr x(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!x) {
    return kErrInvalid;
  }
  const EVP_MD* md = cert_sha256();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (md == nullptr || X509_digest(x.get(), md, digest, &len) != 1 || len != 32) {
    return kErrIo;
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  char* out = fingerprint;
  for (unsigned int i = 0; i < len; ++i) {
    if (i > 0) {
      *out++ = ':';
    }
    *out++ = kHex[digest[i] >> 4];
    *out++ = kHex[digest[i] & 0x0F];
  }
  *out = '\0';
  return 0;
}

}  // namespace vrk
