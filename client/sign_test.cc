#include "client/sign.h"

#include <string.h>

#include <string>

#include <gtest/gtest.h>

namespace vrk {
namespace {

// Expected signatures computed with Python's hmac and hashlib.
constexpr char kSecret[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123-_x";
constexpr char kNonce[] = "00112233445566778899aabbccddeeff";

ClientToken token() {
  ClientToken t;
  memcpy(t.name, "adm", 3);
  memcpy(t.secret, kSecret, sizeof kSecret);
  return t;
}

TEST(SignAuthorization, SignsTheCanonicalRequest) {
  SignRequest r;
  r.method = "DELETE";
  r.path = "/api/v1/jobs/nightly";
  r.if_match = "\"abc\"";
  char out[kSignAuthorizationSize];
  ASSERT_EQ(sign_authorization(token(), r, 1700000123, kNonce, out), 0);
  EXPECT_STREQ(out,
               "VRK-HMAC-SHA256 key=adm, ts=1700000123, nonce=00112233445566778899aabbccddeeff, "
               "sig=9a7339751fad93bd62700024be4bddfd8e2cadd492ef94c9ce86216d092c5788");
}

TEST(SignAuthorization, RefusesARequestTooLongToSign) {
  std::string path = "/api/v1/jobs/" + std::string(kApiCanonicalSize, 'a');
  SignRequest r;
  r.method = "GET";
  r.path = path;
  char out[kSignAuthorizationSize];
  EXPECT_EQ(sign_authorization(token(), r, 1, kNonce, out), -1);
  EXPECT_STREQ(out, "");
}

TEST(SignResponseValid, AcceptsOnlyTheExactSignature) {
  const std::string body = "{\"ok\":true}";
  const std::string good = "f69dc3add9ff9e0dd2b9e6869ae7a57528c4951ea69337f4a5ad563cffe3637e";
  std::string upper = good;
  for (char& c : upper) {
    c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  }
  std::string flipped = good;
  flipped[10] = flipped[10] == '0' ? '1' : '0';
  struct Case {
    std::string header;
    uint32_t status;
    std::string body;
    bool want;
  };
  const Case cases[] = {
      {good, 200, body, true},        {flipped, 200, body, false},
      {upper, 200, body, false},      {good.substr(0, 63), 200, body, false},
      {good + "0", 200, body, false}, {"", 200, body, false},
      {good, 201, body, false},       {good, 200, body + " ", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header + " " + std::to_string(c.status) + " " + c.body);
    EXPECT_EQ(sign_response_valid(token(), kNonce, c.status,
                                  reinterpret_cast<const uint8_t*>(c.body.data()), c.body.size(),
                                  c.header),
              c.want);
  }
}

TEST(SignNewNonce, GivesFreshLowerCaseHex) {
  char a[kApiNonceSize];
  char b[kApiNonceSize];
  ASSERT_EQ(sign_new_nonce(a), 0);
  ASSERT_EQ(sign_new_nonce(b), 0);
  EXPECT_EQ(strlen(a), 32u);
  EXPECT_EQ(strspn(a, "0123456789abcdef"), 32u);
  EXPECT_STRNE(a, b);
}

}  // namespace
}  // namespace vrk
