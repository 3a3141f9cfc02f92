#include "sched/api/cert.h"

#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "common/error.h"
#include "common/handles.h"

namespace vrk {
namespace {

class Cert : public testing::Test {
 protected:
  void SetUp() override {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base != nullptr ? base : "/tmp") + "/cert-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    crt_ = dir_ + "/api.crt";
    key_ = dir_ + "/api.key";
  }
  void TearDown() override {
    nftw(
        dir_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); },
        16, FTW_DEPTH | FTW_PHYS);
  }
  X509Ptr load_cert() {
    BioPtr bio(BIO_new_file(crt_.c_str(), "r"));
    return X509Ptr(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  }
  EvpPkeyPtr load_key() {
    BioPtr bio(BIO_new_file(key_.c_str(), "r"));
    return EvpPkeyPtr(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)
                          : nullptr);
  }
  // The one subjectAltName entry as "DNS:<name>" or "IP:<text>".
  std::string alt_name(X509* x) {
    int crit = 0;
    GeneralNamesPtr names(
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(x, NID_subject_alt_name, &crit, nullptr)));
    if (!names || sk_GENERAL_NAME_num(names.get()) != 1) {
      return "?";
    }
    const GENERAL_NAME* gn = sk_GENERAL_NAME_value(names.get(), 0);
    int type = 0;
    auto* value = static_cast<ASN1_STRING*>(GENERAL_NAME_get0_value(gn, &type));
    std::string bytes(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                      static_cast<size_t>(ASN1_STRING_length(value)));
    if (type == GEN_DNS) {
      return "DNS:" + bytes;
    }
    if (type == GEN_IPADD) {
      std::string hex = "IP:";
      char b[3];
      for (unsigned char c : bytes) {
        snprintf(b, sizeof b, "%02x", c);
        hex += b;
      }
      return hex;
    }
    return "?";
  }
  mode_t mode(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
  }
  std::string dir_;
  std::string crt_;
  std::string key_;
};

TEST_F(Cert, CreatesASelfSignedP256Certificate) {
  ASSERT_EQ(cert_create(crt_.c_str(), key_.c_str(), "backup.example.org", kCertValidDays, false),
            0);
  X509Ptr x = load_cert();
  ASSERT_TRUE(x);
  EXPECT_EQ(X509_get_version(x.get()), X509_VERSION_3);
  BignumPtr serial(ASN1_INTEGER_to_BN(X509_get0_serialNumber(x.get()), nullptr));
  ASSERT_TRUE(serial);
  EXPECT_FALSE(BN_is_negative(serial.get()));
  EXPECT_LE(BN_num_bits(serial.get()), 127);
  EXPECT_GT(BN_num_bits(serial.get()), 64);  // 16 random bytes, not a counter
  int days = 0;
  int secs = 0;
  ASSERT_EQ(ASN1_TIME_diff(&days, &secs, X509_get0_notBefore(x.get()), X509_get0_notAfter(x.get())),
            1);
  EXPECT_EQ(days, 3650);
  EXPECT_EQ(secs, 0);
  char cn[128] = "";
  X509_NAME_get_text_by_NID(X509_get_subject_name(x.get()), NID_commonName, cn, sizeof cn);
  EXPECT_STREQ(cn, "backup.example.org");
  EXPECT_EQ(X509_NAME_entry_count(X509_get_subject_name(x.get())), 1);
  EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(x.get()), X509_get_issuer_name(x.get())), 0);
  EXPECT_EQ(X509_get_ext_count(x.get()), 1);
  EXPECT_EQ(alt_name(x.get()), "DNS:backup.example.org");
  EXPECT_EQ(X509_get_signature_nid(x.get()), NID_ecdsa_with_SHA256);
  EvpPkeyPtr key = load_key();
  ASSERT_TRUE(key);
  EXPECT_TRUE(EVP_PKEY_is_a(key.get(), "EC"));
  char group[32] = "";
  EXPECT_EQ(EVP_PKEY_get_group_name(key.get(), group, sizeof group, nullptr), 1);
  EXPECT_STREQ(group, "prime256v1");
  EXPECT_EQ(X509_check_private_key(x.get(), key.get()), 1);
  EXPECT_EQ(X509_verify(x.get(), key.get()), 1);
  EXPECT_EQ(mode(key_), 0600u);
}

TEST_F(Cert, AltNameIsAnAddressForNumericNames) {
  struct Case {
    const char* cn;
    const char* want;
  };
  const Case cases[] = {
      {"192.0.2.7", "IP:c0000207"},
      {"2001:db8::1", "IP:20010db8000000000000000000000001"},
      {"192.0.2", "DNS:192.0.2"},
      {"localhost", "DNS:localhost"},
      // A comma is part of the one name, never a second entry.
      {"a,IP:10.0.0.1", "DNS:a,IP:10.0.0.1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cn);
    ASSERT_EQ(cert_create(crt_.c_str(), key_.c_str(), c.cn, kCertValidDays, true), 0);
    X509Ptr x = load_cert();
    ASSERT_TRUE(x);
    EXPECT_EQ(alt_name(x.get()), c.want);
  }
}

TEST_F(Cert, RefusalsAndForce) {
  EXPECT_EQ(cert_create(nullptr, key_.c_str(), "h", 1, false), kErrInvalid);
  EXPECT_EQ(cert_create(crt_.c_str(), "", "h", 1, false), kErrInvalid);
  EXPECT_EQ(cert_create(crt_.c_str(), key_.c_str(), "", 1, false), kErrInvalid);
  EXPECT_EQ(access(crt_.c_str(), F_OK), -1);
  // A CN over the 64 characters of X.509 cannot be encoded.
  EXPECT_EQ(cert_create(crt_.c_str(), key_.c_str(), std::string(65, 'h').c_str(), 1, false),
            kErrIo);

  ASSERT_EQ(cert_create(crt_.c_str(), key_.c_str(), "h", kCertValidDays, false), 0);
  char first[kCertFingerprintSize];
  ASSERT_EQ(cert_fingerprint(crt_.c_str(), first), 0);
  EXPECT_EQ(cert_create(crt_.c_str(), key_.c_str(), "h", kCertValidDays, false), kErrExists);
  ASSERT_EQ(unlink(crt_.c_str()), 0);  // the key alone is enough to keep both
  EXPECT_EQ(cert_create(crt_.c_str(), key_.c_str(), "h", kCertValidDays, false), kErrExists);
  EXPECT_EQ(access(crt_.c_str(), F_OK), -1);

  // Forced over an older key file with wider permissions: the new key is private again.
  ASSERT_EQ(chmod(key_.c_str(), 0644), 0);
  ASSERT_EQ(cert_create(crt_.c_str(), key_.c_str(), "h", kCertValidDays, true), 0);
  EXPECT_EQ(mode(key_), 0600u);
  char second[kCertFingerprintSize];
  ASSERT_EQ(cert_fingerprint(crt_.c_str(), second), 0);
  EXPECT_STRNE(first, second);

  // The key's directory is missing: nothing can be written.
  const std::string nodir = dir_ + "/nodir/api.key";
  EXPECT_EQ(cert_create(crt_.c_str(), nodir.c_str(), "h", kCertValidDays, true), kErrIo);
}

TEST_F(Cert, FingerprintFormAndFailures) {
  ASSERT_EQ(cert_create(crt_.c_str(), key_.c_str(), "h", kCertValidDays, false), 0);
  char fp[kCertFingerprintSize];
  ASSERT_EQ(cert_fingerprint(crt_.c_str(), fp), 0);
  ASSERT_EQ(strlen(fp), 95u);
  for (int i = 0; i < 95; ++i) {
    SCOPED_TRACE(i);
    if (i % 3 == 2) {
      EXPECT_EQ(fp[i], ':');
    } else {
      EXPECT_NE(strchr("0123456789ABCDEF", fp[i]), nullptr);
    }
  }
  EXPECT_EQ(cert_fingerprint((dir_ + "/absent").c_str(), fp), kErrNotFound);
  EXPECT_STREQ(fp, "");
  EXPECT_EQ(cert_fingerprint(key_.c_str(), fp), kErrInvalid);  // PEM, but no certificate
  EXPECT_EQ(cert_fingerprint(dir_.c_str(), fp), kErrInvalid);
}

}  // namespace
}  // namespace vrk
