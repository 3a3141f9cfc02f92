#include "common/api_sign.h"

#include <string.h>

#include <string>

#include <gtest/gtest.h>

namespace vrk {
namespace {

// Expected values computed with Python's hmac and hashlib, not with the code under test.
constexpr std::string_view kSecret = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123-_x";
constexpr std::string_view kNonce = "0123456789abcdef0123456789abcdef";
constexpr std::string_view kEtag =
    "\"eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee\"";

ApiSignInput put_input(const std::string& body) {
  ApiSignInput in;
  in.method = "PUT";
  in.path = "/api/v1/jobs/a%20b";
  in.ts = "1700000000";
  in.nonce = kNonce;
  in.body = reinterpret_cast<const uint8_t*>(body.data());
  in.body_length = body.size();
  in.if_match = kEtag;
  return in;
}

TEST(ApiSignCanonical, PutWithBodyAndIfMatch) {
  std::string body = "{\"command\":\"agent\"}";
  char out[kApiCanonicalSize];
  size_t n = api_sign_canonical(put_input(body), out);
  std::string want = "VRK1\nPUT\n/api/v1/jobs/a%20b\n\n1700000000\n" + std::string(kNonce) +
                     "\nf6ba1f2e8a0c2e2a398b0de3bea0c0d049d61d6b0a3d91112aa50dc8b39fbbb3\n" +
                     std::string(kEtag);
  EXPECT_EQ(std::string(out, n), want);
  EXPECT_EQ(strlen(out), n);
  char hex[kApiSignatureHexSize];
  api_sign_request_hex(kSecret, std::string_view(out, n), hex);
  EXPECT_STREQ(hex, "d0f6097d86ea83e2debc012a2ed19bad1a081b60be511db2db8fb7ee594e3465");
}

TEST(ApiSignCanonical, GetWithQueryAndNoBody) {
  ApiSignInput in;
  in.method = "GET";
  in.path = "/api/v1/jobs";
  in.query = "offset=50&limit=50";
  in.ts = "1700000000";
  in.nonce = kNonce;
  char out[kApiCanonicalSize];
  size_t n = api_sign_canonical(in, out);
  ASSERT_GT(n, 0u);
  char hex[kApiSignatureHexSize];
  api_sign_request_hex(kSecret, std::string_view(out, n), hex);
  EXPECT_STREQ(hex, "44781494e26013380da720bfa527fed2961c57f715bb71cd5f8405a2e2ad19bc");
}

TEST(ApiSignCanonical, RefusesAnAreaTooSmall) {
  std::string body = "{\"command\":\"agent\"}";
  // 204 characters: 204 bytes leave no room for the NUL, 205 do.
  char small[205];
  EXPECT_EQ(api_sign_canonical(put_input(body), std::span<char>(small, 204)), 0u);
  EXPECT_EQ(api_sign_canonical(put_input(body), small), 204u);
}

TEST(ApiSignResponse, CoversNonceStatusAndBody) {
  const uint8_t body[] = {'{', '}'};
  char hex[kApiSignatureHexSize];
  api_sign_response_hex(kSecret, kNonce, 404, body, sizeof body, hex);
  EXPECT_STREQ(hex, "1fe38c1cee04da059e447b69b4c1300b0be0338214d448ff48f5b012b273908a");
  char other[kApiSignatureHexSize];
  api_sign_response_hex(kSecret, kNonce, 200, body, sizeof body, other);
  EXPECT_STRNE(hex, other);
}

}  // namespace
}  // namespace vrk
