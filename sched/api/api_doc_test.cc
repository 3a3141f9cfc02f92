// Checks docs/sched-api.txt, the API reference for client authors, against the server's code:
// its worked example (tokens file lines, canonical request, request and response signatures,
// configuration ETags, the answer's job object) is recomputed with the functions the server
// uses and with an independent HMAC implementation; every error code with its status and every
// authentication refusal text must be listed; the text stays within 100 columns of plain ASCII.
//
// Example values sit on lines of the form "  [label] value": the label at column 2 in square
// brackets, the value after the spaces that follow it. A label on several lines continues its
// value: lines of a body or of the Authorization value are joined directly, all other lines
// with a line feed.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "common/digest.h"
#include "common/text.h"
#include "sched/api/auth.h"
#include "sched/api/jobs.h"
#include "sched/api/json_reader.h"
#include "sched/api/json_writer.h"
#include "sched/api/test_call.h"
#include "sched/api/test_sign.h"
#include "sched/api/tokens.h"
#include "sched/cron.h"
#include "sched/ini_edit.h"
#include "sched/queue.h"

namespace vrk {
namespace {

constexpr char kReferencePath[] = VRK_DOCS_DIR "/sched-api.txt";
constexpr size_t kMaxColumns = 100;

std::string read_reference() {
  std::string text;
  FILE* f = fopen(kReferencePath, "rb");
  if (f == nullptr) {
    return text;
  }
  char buf[4096];
  size_t n = 0;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
    text.append(buf, n);
  }
  fclose(f);
  return text;
}

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    if (nl == std::string_view::npos) {
      lines.push_back(text);
      break;
    }
    lines.push_back(text.substr(0, nl));
    text.remove_prefix(nl + 1);
  }
  return lines;
}

// Values that are one line of text however many lines they take in the reference.
bool is_joined_directly(std::string_view label) {
  return label.ends_with("body") || label.ends_with("authorization");
}

// label -> value, joined as the header comment says.
std::map<std::string, std::string> example_values(std::string_view text) {
  std::map<std::string, std::string> values;
  for (std::string_view line : split_lines(text)) {
    if (!line.starts_with("  [")) {
      continue;
    }
    size_t close = line.find(']');
    if (close == std::string_view::npos) {
      continue;
    }
    std::string label(line.substr(3, close - 3));
    std::string_view value = line.substr(close + 1);
    while (!value.empty() && value.front() == ' ') {
      value.remove_prefix(1);
    }
    auto [it, added] = values.try_emplace(label, value);
    if (!added) {
      it->second += is_joined_directly(label) ? "" : "\n";
      it->second += value;
    }
  }
  return values;
}

std::string sha256_text(std::string_view bytes) {
  uint8_t digest[32];
  char hex[65];
  sha256(bytes.data(), bytes.size(), digest);
  sha256_hex(digest, hex);
  return hex;
}

// base64url without padding, written out here so the example secrets are checked against
// the rule of the tokens file rather than against its own encoder.
std::string base64url(const std::vector<uint8_t>& bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  for (uint8_t b : bytes) {
    acc = (acc << 8) | b;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      out += kAlphabet[(acc >> bits) & 63];
    }
  }
  if (bits > 0) {
    out += kAlphabet[(acc << (6 - bits)) & 63];
  }
  return out;
}

std::vector<uint8_t> byte_run(uint8_t first, size_t count) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < count; ++i) {
    bytes.push_back(static_cast<uint8_t>(first + i));
  }
  return bytes;
}

class ApiReference : public testing::Test {
 protected:
  void SetUp() override {
    text = read_reference();
    ASSERT_FALSE(text.empty()) << "cannot read " << kReferencePath;
    values = example_values(text);
  }

  // The example's value for label; a test failure when the reference lacks it.
  std::string value(const std::string& label) {
    auto it = values.find(label);
    if (it == values.end()) {
      ADD_FAILURE() << "the reference has no [" << label << "] line";
      return "";
    }
    return it->second;
  }

  // Loads the tokens file text of the example's token lines.
  void load_tokens(TokenTable& table) {
    std::string file = value("read-token-line") + "\n" + value("token-line") + "\n";
    char err[kTokenFileErrSize];
    ASSERT_EQ(token_file_parse(file, "example", table, err), 0) << err;
    ASSERT_EQ(table.count, 2u);
  }

  // The signed request of the example whose labels begin with p, its body pointing into body.
  void example_request(const std::string& p, const std::string& body, ApiRequest& request) {
    ASSERT_TRUE(text_copy(request.method, value(p + "method")));
    ASSERT_TRUE(text_copy(request.path, value(p + "path")));
    ASSERT_TRUE(text_copy(request.query, value(p + "query")));
    ASSERT_TRUE(text_copy(request.if_match, value(p + "if-match")));
    ASSERT_TRUE(text_copy(request.authorization, value(p + "authorization")));
    ASSERT_TRUE(text_copy(request.client_address, "192.0.2.10"));
    request.body = reinterpret_cast<const uint8_t*>(body.data());
    request.body_length = static_cast<uint32_t>(body.size());
  }

  void check_request(const std::string& p);
  void check_response(const std::string& p);

  std::string text;
  std::map<std::string, std::string> values;
};

TEST_F(ApiReference, LinesArePlainAsciiWithinOneHundredColumns) {
  int number = 0;
  for (std::string_view line : split_lines(text)) {
    ++number;
    SCOPED_TRACE(testing::Message() << "line " << number);
    EXPECT_LE(line.size(), kMaxColumns);
    bool plain = true;
    for (char c : line) {
      plain = plain && c >= 32 && c < 127;
    }
    EXPECT_TRUE(plain) << "only printable ASCII, no tabs or carriage returns";
    EXPECT_FALSE(!line.empty() && line.back() == ' ') << "trailing space";
  }
}

std::string_view skip_spaces(std::string_view s) {
  while (!s.empty() && s.front() == ' ') {
    s.remove_prefix(1);
  }
  return s;
}

// Every code of the error table appears as a table row "<code>  <status>  <use>".
TEST_F(ApiReference, ListsEveryErrorCodeWithItsStatus) {
  std::vector<std::string_view> lines = split_lines(text);
  for (const ApiErrorInfo& e : kApiErrors) {
    SCOPED_TRACE(e.text);
    const std::string_view code = e.text;
    bool listed = false;
    for (std::string_view line : lines) {
      std::string_view row = skip_spaces(line);
      if (row.size() == line.size() || !row.starts_with(code) ||
          !row.substr(code.size()).starts_with(" ")) {
        continue;
      }
      listed = listed ||
               skip_spaces(row.substr(code.size())).starts_with(std::to_string(e.status) + " ");
    }
    EXPECT_TRUE(listed) << "no row \"" << e.text << "  " << e.status << "  ...\"";
  }
}

TEST_F(ApiReference, ListsEveryAuthenticationRefusal) {
  for (int reason = 1; reason <= static_cast<int>(AuthReason::kRateLimited); ++reason) {
    const char* why = api_auth_reason(reason);
    SCOPED_TRACE(why);
    EXPECT_NE(text.find(why), std::string::npos);
  }
}

TEST_F(ApiReference, ExampleSecretsAreTheStatedBytes) {
  TokenTable table;
  load_tokens(table);
  ASSERT_EQ(table.count, 2u);
  const ApiToken& reader = table.tokens[0];
  const ApiToken& admin = table.tokens[1];
  EXPECT_EQ(reader.role, TokenRole::kRead);
  EXPECT_EQ(admin.role, TokenRole::kAdmin);
  // The reference says: bytes 20..3f for the read token, 00..1f for the admin token.
  EXPECT_EQ(std::string(reader.secret), base64url(byte_run(0x20, 32)));
  EXPECT_EQ(std::string(admin.secret), base64url(byte_run(0x00, 32)));
}

TEST_F(ApiReference, BearerExampleIsAccepted) {
  TokenTable table;
  load_tokens(table);
  ApiRequest request;
  ASSERT_TRUE(text_copy(request.method, "GET"));
  ASSERT_TRUE(text_copy(request.path, "/api/v1/info"));
  ASSERT_TRUE(text_copy(request.authorization, value("read-authorization")));
  ApiNonceCache cache;
  AuthResult result;
  EXPECT_EQ(api_authenticate(table, cache, 1'767'225'600, request, result), AuthReason::kOk);
  EXPECT_EQ(result.signed_request, 0u);
  ASSERT_NE(result.token, nullptr);
  EXPECT_STREQ(result.token->name, table.tokens[0].name);
}

TEST_F(ApiReference, ExampleConfigurationEtags) {
  const std::string before = value("config-before") + "\n";
  const std::string after = value("config-after") + "\n";
  EXPECT_EQ(value("if-match"), "\"" + sha256_text(before) + "\"");
  // The example's PUT body sets command and schedule; the new section holds those two keys.
  const SettingPair pairs[] = {{"command", "agent"}, {"schedule", "0 3 * * *"}};
  std::string written;
  ASSERT_EQ(ini_set_section(before, "nightly", pairs, written), 0);
  EXPECT_EQ(written, after);
  const std::string etag_member = "\"config_etag\":\"\\\"" + sha256_text(after) + "\\\"\"";
  EXPECT_NE(value("response-body").find(etag_member), std::string::npos) << etag_member;
}

TEST_F(ApiReference, ExampleBodiesAreJsonObjects) {
  for (const char* label : {"body", "response-body", "get-response-body"}) {
    SCOPED_TRACE(label);
    JsonValue* root = nullptr;
    char err[256];
    ASSERT_EQ(json_parse(value(label), 61440, 8, 4096, root, err), 0) << err;
    EXPECT_EQ(json_type_of(root), JsonType::kObject);
    json_value_free(root);
  }
}

// The request of the example whose labels begin with p: its canonical text, signature and
// Authorization value are the server's, and the server accepts it once at its own ts.
void ApiReference::check_request(const std::string& p) {
  TokenTable table;
  load_tokens(table);
  const ApiToken& admin = table.tokens[1];
  const std::string body = value(p + "body");
  ApiRequest request;
  example_request(p, body, request);
  const std::string ts = value(p + "ts");
  const std::string nonce = value(p + "nonce");

  if (!body.empty()) {
    EXPECT_EQ(value(p + "body-sha256"), sha256_text(body));
    EXPECT_NE(text.find("Content-Length: " + std::to_string(body.size()) + "\n"), std::string::npos)
        << "the request's Content-Length";
  }
  const std::string canonical(api_canonical_request(request, ts, nonce));
  EXPECT_EQ(value(p + "canonical"), canonical);
  char sig[kApiSignatureHexSize];
  api_request_signature(admin, canonical, sig);
  EXPECT_EQ(value(p + "signature"), sig);
  EXPECT_EQ(value(p + "signature"), reference_hmac(admin.secret, value(p + "canonical")));
  EXPECT_EQ(value(p + "authorization"), std::string("VRK-HMAC-SHA256 key=") + admin.name +
                                            ", ts=" + ts + ", nonce=" + nonce + ", sig=" + sig);

  // Sent at its own ts, the request is accepted once; the same request again is a replay.
  auto cache = std::make_unique<ApiNonceCache>();
  AuthResult result;
  int64_t now = 0;
  ASSERT_EQ(sscanf(ts.c_str(), "%ld", &now), 1);
  EXPECT_EQ(api_authenticate(table, *cache, now, request, result), AuthReason::kOk);
  EXPECT_EQ(result.signed_request, 1u);
  EXPECT_STREQ(result.nonce, nonce.c_str());
  EXPECT_EQ(api_authenticate(table, *cache, now + 1, request, result), AuthReason::kNonceUsed);
}

// The answer of the example whose labels begin with p: its signed text and signature are the
// server's, and the headers shown carry them.
void ApiReference::check_response(const std::string& p) {
  TokenTable table;
  load_tokens(table);
  const ApiToken& admin = table.tokens[1];
  const std::string body = value(p + "response-body");
  const std::string nonce = value(p + "nonce");
  unsigned status = 0;
  ASSERT_EQ(sscanf(value(p + "status").c_str(), "%u", &status), 1);

  EXPECT_EQ(value(p + "response-body-sha256"), sha256_text(body));
  EXPECT_EQ(value(p + "response-canonical"),
            "VRK1-R\n" + nonce + "\n" + std::to_string(status) + "\n" + sha256_text(body));
  char sig[kApiSignatureHexSize];
  api_response_signature(admin, nonce.c_str(), status,
                         reinterpret_cast<const uint8_t*>(body.data()), body.size(), sig);
  EXPECT_EQ(value(p + "response-signature"), sig);
  EXPECT_EQ(value(p + "response-signature"),
            reference_hmac(admin.secret, value(p + "response-canonical")));
  EXPECT_NE(text.find(std::string("X-VRK-Signature: ") + sig + "\n"), std::string::npos);
  EXPECT_NE(text.find("Content-Length: " + std::to_string(body.size()) + "\n"), std::string::npos)
      << "the answer's Content-Length";
}

TEST_F(ApiReference, RequestExampleMatchesTheServer) {
  check_request("");
}

TEST_F(ApiReference, ResponseExampleMatchesTheServer) {
  check_response("");
}

TEST_F(ApiReference, GetExampleMatchesTheServer) {
  check_request("get-");
  check_response("get-");
}

// The example's answer is what the server writes for the new job: the job object of the file
// after the change, with the state a new job gets when the server's clock and time zone are
// the example's (UTC, at ts).
class ApiReferenceAnswer : public ApiCallTest {
 protected:
  void SetUp() override {
    ApiCallTest::SetUp();
    const char* tz = getenv("TZ");
    saved_tz = tz != nullptr ? tz : "";
    had_tz = tz != nullptr;
    setenv("TZ", "UTC", 1);
    tzset();
  }

  void TearDown() override {
    if (had_tz) {
      setenv("TZ", saved_tz.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
    ApiCallTest::TearDown();
  }

  std::string saved_tz;
  bool had_tz = false;
};

TEST_F(ApiReferenceAnswer, ResponseBodyIsTheServersJobObject) {
  std::string text = read_reference();
  ASSERT_FALSE(text.empty()) << "cannot read " << kReferencePath;
  std::map<std::string, std::string> values = example_values(text);
  const std::string after = values["config-after"] + "\n";
  configure(after);
  const JobConfig* job = config_find_job(*loaded, "nightly");
  ASSERT_NE(job, nullptr);
  ASSERT_NE(job->has_schedule, 0u);
  int64_t ts = 0;
  ASSERT_EQ(sscanf(values["ts"].c_str(), "%ld", &ts), 1);

  QueueState view;
  QueueEntry entry = queue_entry_make("nightly");
  entry.state = JobState::kPending;
  entry.next_run = cron_next(job->schedule, ts, false);
  ASSERT_EQ(queue_append(view, entry), 0);
  ApiRequest request;
  ApiCall call;
  api_call_init(call, state.get(), request, response);
  api_write_job(call, *job, &view);
  const std::string object(call.writer.buffer, call.writer.length);

  EXPECT_EQ(values["response-body"], "{\"config_etag\":\"\\\"" + sha256_text(after) +
                                         "\\\"\",\"created\":true,\"job\":" + object + "}");
  queue_free(view);
}

TEST_F(ApiReferenceAnswer, GetAnswerIsTheServersOwn) {
  std::string text = read_reference();
  ASSERT_FALSE(text.empty()) << "cannot read " << kReferencePath;
  std::map<std::string, std::string> values = example_values(text);
  configure(values["config-after"] + "\n");
  EXPECT_EQ(answer(values["get-method"].c_str(), values["get-path"], values["get-query"]),
            values["get-response-body"]);
  EXPECT_EQ(std::to_string(response.status), values["get-status"]);
}

}  // namespace
}  // namespace vrk
