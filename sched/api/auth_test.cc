#include "sched/api/auth.h"

#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/text.h"
#include "sched/api/test_sign.h"

namespace vrk {
namespace {

constexpr int64_t kNow = 1'800'000'000;
const std::string kReadSecret = "R2d2C3poR2d2C3poR2d2C3poR2d2C3poR2d2C3po-_x";
const std::string kAdminSecret = "AdminSecretAdminSecretAdminSecretAdmin_-012";
const std::string kEmptyBodyHash =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

void add_token(TokenTable& t, const char* name, TokenRole role, const std::string& secret) {
  ApiToken& e = t.tokens[t.count++];
  text_copy_cut(e.name, name);
  e.role = role;
  text_copy_cut(e.secret, secret);
}

std::string nonce_of(int i) {
  char buf[33];
  snprintf(buf, sizeof buf, "%032x", i);
  return buf;
}

class AuthTest : public testing::Test {
 protected:
  void SetUp() override {
    tokens = std::make_unique<TokenTable>();
    cache = std::make_unique<ApiNonceCache>();
    add_token(*tokens, "reader", TokenRole::kRead, kReadSecret);
    add_token(*tokens, "admin1", TokenRole::kAdmin, kAdminSecret);
    text_copy_cut(request.method, "GET");
    text_copy_cut(request.path, "/api/v1/info");
    text_copy_cut(request.client_address, "192.0.2.1");
  }

  // The canonical text written out by hand for the fixture's request.
  std::string canonical(const std::string& ts, const std::string& nonce,
                        const std::string& body_hash = kEmptyBodyHash) const {
    return std::string("VRK1\n") + request.method + "\n" + request.path + "\n" + request.query +
           "\n" + ts + "\n" + nonce + "\n" + body_hash + "\n" + request.if_match;
  }

  static std::string signed_value(const std::string& key, const std::string& ts,
                                  const std::string& nonce, const std::string& sig) {
    return "VRK-HMAC-SHA256 key=" + key + ", ts=" + ts + ", nonce=" + nonce + ", sig=" + sig;
  }

  // Signs the fixture's request for each (ts, nonce) with the admin secret, independently.
  std::vector<std::string> sign(const std::vector<std::pair<std::string, std::string>>& ts_nonce,
                                const std::string& secret = kAdminSecret) const {
    std::vector<std::pair<std::string, std::string>> items;
    for (const auto& [ts, nonce] : ts_nonce) {
      items.emplace_back(secret, canonical(ts, nonce));
    }
    std::vector<std::string> sigs = reference_digests(items);
    std::vector<std::string> out;
    for (size_t i = 0; i < sigs.size(); ++i) {
      out.push_back(signed_value(secret == kAdminSecret ? "admin1" : "reader", ts_nonce[i].first,
                                 ts_nonce[i].second, sigs[i]));
    }
    return out;
  }

  AuthReason auth(const std::string& value, int64_t now = kNow) {
    text_copy_cut(request.authorization, value);
    return api_authenticate(*tokens, *cache, now, request, result);
  }

  std::unique_ptr<TokenTable> tokens;
  std::unique_ptr<ApiNonceCache> cache;
  ApiRequest request;
  AuthResult result;
};

TEST(ApiAuthReason, TextsByNumber) {
  EXPECT_STREQ(api_auth_reason(0), "ok");
  EXPECT_STREQ(api_auth_reason(1),
               "no credentials (Authorization: Bearer or VRK-HMAC-SHA256 expected)");
  EXPECT_STREQ(api_auth_reason(2), "malformed Authorization header");
  EXPECT_STREQ(api_auth_reason(3), "unknown token");
  EXPECT_STREQ(api_auth_reason(4), "wrong secret or signature");
  EXPECT_STREQ(api_auth_reason(5),
               "admin tokens must sign their requests (VRK-HMAC-SHA256), not use Bearer");
  EXPECT_STREQ(api_auth_reason(6),
               "request timestamp outside the allowed window (check the client's clock)");
  EXPECT_STREQ(api_auth_reason(7), "nonce already used");
  EXPECT_STREQ(api_auth_reason(8), "too many signed requests in the last minutes");
  EXPECT_STREQ(api_auth_reason(9), "?");
  EXPECT_STREQ(api_auth_reason(-1), "?");
}

TEST_F(AuthTest, CanonicalRequestAndSignaturesMatchAnIndependentHmac) {
  text_copy_cut(request.method, "PUT");
  text_copy_cut(request.path, "/api/v1/jobs/a%20b");
  text_copy_cut(request.query, "x=1&y=2");
  text_copy_cut(request.if_match, "\"abc\"");
  static const uint8_t kBody[] = {'{', '}'};
  request.body = kBody;
  request.body_length = 2;
  std::string nonce = nonce_of(0xabc);
  std::string want = std::string("VRK1\nPUT\n/api/v1/jobs/a%20b\nx=1&y=2\n1800000000\n") + nonce +
                     "\n44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a\n\"abc\"";
  EXPECT_EQ(std::string(api_canonical_request(request, "1800000000", nonce)), want);

  std::vector<std::string> ref = reference_digests({
      {kAdminSecret, want},
      {kAdminSecret, "VRK1-R\n" + nonce + "\n201\n" + reference_sha256("{\"ok\":true}")},
      {kReadSecret, "VRK1-R\n" + nonce + "\n404\n" + kEmptyBodyHash},
  });
  ASSERT_EQ(ref.size(), 3u) << "/usr/bin/python3 reference not available";
  char hex[kApiSignatureHexSize];
  api_request_signature(tokens->tokens[1], want, hex);
  EXPECT_EQ(std::string(hex), ref[0]);
  const char* body = "{\"ok\":true}";
  api_response_signature(tokens->tokens[1], nonce.c_str(), 201,
                         reinterpret_cast<const uint8_t*>(body), strlen(body), hex);
  EXPECT_EQ(std::string(hex), ref[1]);
  api_response_signature(tokens->tokens[0], nonce.c_str(), 404, nullptr, 0, hex);
  EXPECT_EQ(std::string(hex), ref[2]);
}

TEST_F(AuthTest, BearerAndMalformedValues) {
  struct Case {
    std::string value;
    AuthReason want;
  };
  const std::string name65(65, 'n');
  const Case cases[] = {
      {"", AuthReason::kNoCredentials},
      {"Basic cmVhZGVyOnNlY3JldA==", AuthReason::kMalformed},
      {"bearer reader." + kReadSecret, AuthReason::kMalformed},
      {"Bearer", AuthReason::kMalformed},
      {"Bearer ", AuthReason::kMalformed},
      {"Bearer reader", AuthReason::kMalformed},
      {"Bearer ." + kReadSecret, AuthReason::kMalformed},
      {"Bearer " + name65 + "." + kReadSecret, AuthReason::kMalformed},
      {"Bearer " + std::string(64, 'n') + "." + kReadSecret, AuthReason::kUnknownToken},
      {"Bearer nobody." + kReadSecret, AuthReason::kUnknownToken},
      {"Bearer Reader." + kReadSecret, AuthReason::kUnknownToken},
      {"Bearer reader." + kReadSecret.substr(0, 42), AuthReason::kWrongSecret},
      {"Bearer reader." + kReadSecret + "x", AuthReason::kWrongSecret},
      {"Bearer reader." + kAdminSecret, AuthReason::kWrongSecret},
      {"Bearer reader.", AuthReason::kWrongSecret},
      {"Bearer admin1." + kAdminSecret, AuthReason::kAdminBearer},
      {"Bearer admin1." + kReadSecret, AuthReason::kWrongSecret},
      {"Bearer " + std::string(505, '.'), AuthReason::kMalformed},
      {"Bearer reader." + std::string(498, 'A'), AuthReason::kWrongSecret},
      {std::string(512, 'V'), AuthReason::kMalformed},
      {"VRK-HMAC-SHA256", AuthReason::kMalformed},
      {"VRK-HMAC-SHA256 ", AuthReason::kMalformed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.substr(0, 80));  // secrets in these values are test constants
    EXPECT_EQ(auth(c.value), c.want);
    EXPECT_EQ(result.token, nullptr);
  }
  EXPECT_EQ(auth("Bearer reader." + kReadSecret), AuthReason::kOk);
  EXPECT_EQ(result.token, &tokens->tokens[0]);
  EXPECT_EQ(result.signed_request, 0u);
  EXPECT_EQ(cache->next, 0u);
}

TEST_F(AuthTest, SignedValueGrammar) {
  const std::string ts = std::to_string(kNow);
  const std::string nonce = nonce_of(1);
  const std::string sig(64, 'a');
  const std::string upper_nonce = "ABCDEF" + nonce.substr(6);
  struct Case {
    std::string value;
    AuthReason want;
  };
  const Case cases[] = {
      {signed_value("admin1", ts, upper_nonce, sig), AuthReason::kMalformed},
      {signed_value("admin1", ts, nonce, std::string(64, 'A')), AuthReason::kMalformed},
      {signed_value("admin1", ts, nonce.substr(1), sig), AuthReason::kMalformed},
      {signed_value("admin1", ts, nonce + "0", sig), AuthReason::kMalformed},
      {signed_value("admin1", ts, nonce, sig.substr(1)), AuthReason::kMalformed},
      {signed_value("admin1", ts, nonce, sig + "a"), AuthReason::kMalformed},
      {signed_value("admin1", ts, nonce, std::string(80, 'a')), AuthReason::kMalformed},
      {signed_value("admin1", ts, nonce, sig + ", x=1"), AuthReason::kMalformed},
      {signed_value("admin1", "0" + ts, nonce, sig), AuthReason::kMalformed},
      {signed_value("admin1", "-5", nonce, sig), AuthReason::kMalformed},
      {signed_value("admin1", "12a", nonce, sig), AuthReason::kMalformed},
      {signed_value("admin1", "", nonce, sig), AuthReason::kMalformed},
      {signed_value("admin1", std::string(24, '1'), nonce, sig), AuthReason::kMalformed},
      {signed_value("", ts, nonce, sig), AuthReason::kMalformed},
      {signed_value(std::string(65, 'k'), ts, nonce, sig), AuthReason::kMalformed},
      {signed_value("ad.min", ts, nonce, sig), AuthReason::kMalformed},
      {"VRK-HMAC-SHA256  key=admin1, ts=" + ts + ", nonce=" + nonce + ", sig=" + sig,
       AuthReason::kMalformed},
      {"VRK-HMAC-SHA256 ts=" + ts + ", key=admin1, nonce=" + nonce + ", sig=" + sig,
       AuthReason::kMalformed},
      {"VRK-HMAC-SHA256 key=admin1,ts=" + ts + ", nonce=" + nonce + ", sig=" + sig,
       AuthReason::kMalformed},
      {"VRK-HMAC-SHA256 key=admin1, ts=" + ts + ", nonce=" + nonce, AuthReason::kMalformed},
      {"VRK-HMAC-SHA256 key=admin1, ts=" + ts + ", sig=" + sig + ", nonce=" + nonce,
       AuthReason::kMalformed},
      {signed_value("nobody", ts, nonce, sig), AuthReason::kUnknownToken},
      {signed_value(std::string(64, 'k'), ts, nonce, sig), AuthReason::kUnknownToken},
      {signed_value("admin1", ts, nonce, sig), AuthReason::kWrongSecret},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(auth(c.value), c.want);
  }
  EXPECT_EQ(cache->next, 0u);
  EXPECT_EQ(cache->entries[0].nonce[0], '\0');
}

TEST_F(AuthTest, SignedRequestsOfBothRolesAreAccepted) {
  const std::string ts = std::to_string(kNow);
  std::vector<std::string> admin = sign({{ts, nonce_of(1)}});
  std::vector<std::string> reader = sign({{ts, nonce_of(2)}}, kReadSecret);
  ASSERT_EQ(admin.size() + reader.size(), 2u) << "/usr/bin/python3 reference not available";
  EXPECT_EQ(auth(admin[0]), AuthReason::kOk);
  EXPECT_EQ(result.token, &tokens->tokens[1]);
  EXPECT_EQ(result.signed_request, 1u);
  EXPECT_EQ(std::string(result.nonce), nonce_of(1));
  EXPECT_EQ(auth(reader[0]), AuthReason::kOk);
  EXPECT_EQ(result.token, &tokens->tokens[0]);
  EXPECT_EQ(result.signed_request, 1u);
  // A signature by the other token's secret is a wrong signature.
  std::string forged = reader[0];
  forged.replace(forged.find("reader"), 6, "admin1");
  EXPECT_EQ(auth(forged), AuthReason::kWrongSecret);
}

TEST_F(AuthTest, TimestampWindowEdges) {
  struct Case {
    int64_t ts;
    AuthReason want;
  };
  const Case cases[] = {
      {kNow - 300, AuthReason::kOk},
      {kNow + 300, AuthReason::kOk},
      {kNow - 301, AuthReason::kStaleTimestamp},
      {kNow + 301, AuthReason::kStaleTimestamp},
      {0, AuthReason::kStaleTimestamp},
  };
  std::vector<std::pair<std::string, std::string>> items;
  for (size_t i = 0; i < std::size(cases); ++i) {
    items.emplace_back(std::to_string(cases[i].ts), nonce_of(static_cast<int>(i) + 1));
  }
  items.emplace_back("99999999999999999999999", nonce_of(99));  // beyond 64 bits
  std::vector<std::string> values = sign(items);
  ASSERT_EQ(values.size(), items.size()) << "/usr/bin/python3 reference not available";
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].ts);
    EXPECT_EQ(auth(values[i]), cases[i].want);
  }
  EXPECT_EQ(auth(values.back()), AuthReason::kStaleTimestamp);
  EXPECT_EQ(cache->next, 2u);  // only the two accepted requests took a slot
}

TEST_F(AuthTest, StaleTimestampDoesNotUseUpItsNonce) {
  std::vector<std::string> v =
      sign({{std::to_string(kNow - 400), nonce_of(7)}, {std::to_string(kNow), nonce_of(7)}});
  ASSERT_EQ(v.size(), 2u) << "/usr/bin/python3 reference not available";
  EXPECT_EQ(auth(v[0]), AuthReason::kStaleTimestamp);
  EXPECT_EQ(cache->next, 0u);
  EXPECT_EQ(auth(v[1]), AuthReason::kOk);
  // Sent again: the stale one is still refused for its time, not as a replay.
  EXPECT_EQ(auth(v[0]), AuthReason::kStaleTimestamp);
  EXPECT_EQ(auth(v[1]), AuthReason::kNonceUsed);
}

TEST_F(AuthTest, ReplayIsRefusedForAsLongAsTheTimestampCanBeAccepted) {
  // Signed for the far edge of the window: acceptable until kNow + 600.
  std::vector<std::string> v = sign({{std::to_string(kNow + 300), nonce_of(5)},
                                     {std::to_string(kNow + 601), nonce_of(5)},
                                     {std::to_string(kNow + 602), nonce_of(5)}});
  ASSERT_EQ(v.size(), 3u) << "/usr/bin/python3 reference not available";
  EXPECT_EQ(auth(v[0], kNow), AuthReason::kOk);
  EXPECT_EQ(auth(v[0], kNow + 1), AuthReason::kNonceUsed);
  EXPECT_EQ(auth(v[0], kNow + 599), AuthReason::kNonceUsed);
  EXPECT_EQ(auth(v[0], kNow + 600), AuthReason::kNonceUsed);  // last second of its window
  EXPECT_EQ(auth(v[0], kNow + 601), AuthReason::kStaleTimestamp);
  // The nonce itself, freshly signed, stays used while it is at most 601 s old.
  EXPECT_EQ(auth(v[1], kNow + 601), AuthReason::kNonceUsed);
  EXPECT_EQ(auth(v[2], kNow + 602), AuthReason::kOk);
}

TEST_F(AuthTest, RateLimitAfter4096AcceptedRequests) {
  std::vector<std::pair<std::string, std::string>> items;
  const std::string ts = std::to_string(kNow);
  for (int i = 0; i <= kApiNonceCacheSlots; ++i) {
    items.emplace_back(ts, nonce_of(i));
  }
  items.emplace_back(std::to_string(kNow + 602), nonce_of(kApiNonceCacheSlots + 1));
  std::vector<std::string> v = sign(items);
  ASSERT_EQ(v.size(), items.size()) << "/usr/bin/python3 reference not available";
  for (int i = 0; i < kApiNonceCacheSlots; ++i) {
    ASSERT_EQ(auth(v[i], kNow + i / 16), AuthReason::kOk) << i;
  }
  EXPECT_EQ(cache->next, 0u);
  EXPECT_EQ(auth(v[kApiNonceCacheSlots], kNow + 256), AuthReason::kRateLimited);
  EXPECT_EQ(auth(v[3], kNow + 256), AuthReason::kNonceUsed);  // a replay is still a replay
  // Once the oldest slot is older than 601 s, a new request takes it.
  EXPECT_EQ(auth(v.back(), kNow + 602), AuthReason::kOk);
  EXPECT_EQ(cache->next, 1u);
  EXPECT_EQ(auth(v.back(), kNow + 603), AuthReason::kNonceUsed);  // found in its reused slot
}

}  // namespace
}  // namespace vrk
