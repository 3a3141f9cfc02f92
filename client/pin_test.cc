#include "client/pin.h"

#include <stdio.h>

#include <string>

#include <gtest/gtest.h>
#include <openssl/pem.h>

#include "common/handles.h"

namespace vrk {
namespace {

// testdata/pin_cert.pem's fingerprint as 'openssl x509 -fingerprint -sha256' prints it.
constexpr std::string_view kPinned =
    "6D:D3:05:ED:42:47:48:53:BE:50:73:04:B2:24:5A:45:4C:03:EE:35:D9:B2:D0:5E:CF:DE:BE:B3:8A:3B:"
    "C7:13";
constexpr const char* kMalformed =
    "malformed fingerprint (expected 32 hexadecimal byte pairs separated by ':', as 'vrk_sched "
    "api-init' prints it)";

TEST(PinParse, AcceptsOnlyTheApiInitForm) {
  std::string lower(kPinned);
  for (char& c : lower) {
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  }
  std::string no_colons;
  for (char c : kPinned) {
    if (c != ':') {
      no_colons += c;
    }
  }
  std::string shifted = std::string(kPinned.substr(0, 2)) + std::string(kPinned.substr(3, 1)) +
                        ":" + std::string(kPinned.substr(4));  // same length, colon moved
  struct Case {
    std::string input;
    int want_rc;
  };
  const Case cases[] = {
      {std::string(kPinned), 0},
      {lower, 0},
      {"", -1},
      {std::string(kPinned.substr(0, 94)), -1},
      {std::string(kPinned) + ":", -1},
      {std::string(kPinned) + "0", -1},
      {no_colons, -1},
      {shifted, -1},
      {"G" + std::string(kPinned.substr(1)), -1},
      {" " + std::string(kPinned.substr(1)), -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    CertPin pin;
    pin.digest[0] = 0xAA;
    char err[kPinErrSize];
    EXPECT_EQ(pin_parse(c.input, pin, err), c.want_rc);
    EXPECT_STREQ(err, c.want_rc == 0 ? "" : kMalformed);
    if (c.want_rc == 0) {
      EXPECT_EQ(pin.digest[0], 0x6D);
      EXPECT_EQ(pin.digest[31], 0x13);
    } else {
      EXPECT_EQ(pin.digest[0], 0xAA);
    }
  }
}

X509Ptr test_cert() {
  FILE* f = fopen(VRK_CLIENT_TESTDATA "/pin_cert.pem", "r");
  if (f == nullptr) {
    return nullptr;
  }
  X509Ptr x(PEM_read_X509(f, nullptr, nullptr, nullptr));
  fclose(f);
  return x;
}

TEST(PinMatches, ComparesTheWholeDigest) {
  X509Ptr cert = test_cert();
  ASSERT_TRUE(cert);
  CertPin pin;
  char err[kPinErrSize];
  ASSERT_EQ(pin_parse(kPinned, pin, err), 0);
  EXPECT_TRUE(pin_matches(cert.get(), pin));
  pin.digest[31] ^= 1;
  EXPECT_FALSE(pin_matches(cert.get(), pin));
  EXPECT_FALSE(pin_matches(nullptr, pin));
}

}  // namespace
}  // namespace vrk
