// Checks docs/sched-api.txt, the API reference for client authors, against the server's code:
// its worked example (tokens file lines, canonical request, request and response signatures,
// configuration ETags, the answer's job object) is recomputed with the functions the server
// uses and with an independent HMAC implementation; every error code with its status and every
// authentication refusal text must be listed; every route of the router's table is in the
// resource table and has its own section; every fixed message a handler answers with is quoted
// in the section of its resource, and the resources' limits are the server's constants; the
// text stays within 100 columns of plain ASCII.
//
// Example values sit on lines of the form "  [label] value": the label at column 2 in square
// brackets, the value after the spaces that follow it. A label on several lines continues its
// value: lines of a body or of the Authorization value are joined directly, all other lines
// with a line feed.
#include <ctype.h>
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "common/digest.h"
#include "common/text.h"
#include "sched/api/auth.h"
#include "sched/api/job_change.h"
#include "sched/api/jobs.h"
#include "sched/api/json_reader.h"
#include "sched/api/json_writer.h"
#include "sched/api/router.h"
#include "sched/api/runs.h"
#include "sched/api/settings_change.h"
#include "sched/api/state.h"
#include "sched/api/test_call.h"
#include "sched/api/test_sign.h"
#include "sched/api/tokens.h"
#include "sched/config.h"
#include "sched/cron.h"
#include "sched/ini_edit.h"
#include "sched/queue.h"

namespace vrk {
namespace {

constexpr char kReferencePath[] = VRK_DOCS_DIR "/sched-api.txt";
constexpr char kHandlerDir[] = VRK_API_SOURCE_DIR;
constexpr size_t kMaxColumns = 100;

std::string read_text_file(const std::string& path) {
  std::string text;
  FILE* f = fopen(path.c_str(), "rb");
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

std::string read_reference() {
  return read_text_file(kReferencePath);
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

// Runs of spaces and line feeds become one space, so that a quoted text matches the reference
// however its lines are broken.
std::string squeeze_spaces(std::string_view text) {
  std::string out;
  bool space = false;
  for (char c : text) {
    if (c == ' ' || c == '\n') {
      space = !out.empty();
      continue;
    }
    if (space) {
      out += ' ';
      space = false;
    }
    out += c;
  }
  return out;
}

// The columns of a table line: its text split at runs of two or more spaces.
std::vector<std::string> table_columns(std::string_view line) {
  std::vector<std::string> columns;
  line = skip_spaces(line);
  while (!line.empty()) {
    size_t gap = line.find("  ");
    columns.emplace_back(line.substr(0, gap));
    if (gap == std::string_view::npos) {
      break;
    }
    line = skip_spaces(line.substr(gap));
  }
  return columns;
}

// A path as the reference writes it ("/jobs/<name>/run?..."), without its query and with every
// placeholder segment written "<>".
std::string path_shape(std::string_view path) {
  path = path.substr(0, path.find('?'));
  std::string shape;
  while (path.starts_with("/")) {
    path.remove_prefix(1);
    const std::string_view segment = path.substr(0, path.find('/'));
    shape += '/';
    shape += segment.starts_with("<") ? std::string("<>") : std::string(segment);
    path.remove_prefix(segment.size());
  }
  return shape;
}

// The same shape of a route of the router's table.
std::string route_shape(const ApiRoute& route) {
  std::string shape;
  for (int i = 0; i < route.segment_count; ++i) {
    shape += '/';
    shape += route.words[i] != nullptr ? route.words[i] : "<>";
  }
  return shape;
}

bool is_api_method(std::string_view word) {
  return word == "GET" || word == "PUT" || word == "POST" || word == "DELETE";
}

// A row of the resource table of section 3: "<method>  <path>  <token>  <query>  <body>".
struct ResourceRow {
  std::string method;
  std::string shape;
  std::string token;
  std::string query;
};

std::vector<ResourceRow> resource_rows(std::string_view text) {
  std::vector<ResourceRow> rows;
  for (std::string_view line : split_lines(text)) {
    if (!line.starts_with("    ")) {
      continue;
    }
    const std::vector<std::string> columns = table_columns(line);
    if (columns.size() >= 4 && is_api_method(columns[0]) && columns[1].starts_with("/")) {
      rows.push_back({columns[0], path_shape(columns[1]), columns[2], columns[3]});
    }
  }
  return rows;
}

// Whether a section of chapter 3 is headed "3.<n> <method> <path>..." with a path of shape.
bool has_heading(const std::vector<std::string_view>& lines, std::string_view method,
                 const std::string& shape) {
  for (std::string_view line : lines) {
    const size_t space = line.find(' ');
    if (!line.starts_with("3.") || space == std::string_view::npos) {
      continue;
    }
    std::string_view rest = line.substr(space + 1);
    if (!rest.starts_with(method) || !rest.substr(method.size()).starts_with(" /")) {
      continue;
    }
    rest.remove_prefix(method.size() + 1);
    if (path_shape(rest.substr(0, rest.find(' '))) == shape) {
      return true;
    }
  }
  return false;
}

// Every method of every route has one row in the resource table, with the route's token and
// query rule, and a section headed "3.<n> <method> <path>"; the table has no other rows.
TEST_F(ApiReference, ListsEveryRouteWithItsTokenAndQuery) {
  const std::vector<ResourceRow> rows = resource_rows(text);
  const std::vector<std::string_view> lines = split_lines(text);
  size_t methods = 0;
  for (const ApiRoute& route : kApiRoutes) {
    const std::string shape = route_shape(route);
    for (const ApiMethodRoute& method : route.methods) {
      if (method.method == nullptr) {
        continue;
      }
      ++methods;
      SCOPED_TRACE(std::string(method.method) + " " + shape);
      int found = 0;
      for (const ResourceRow& row : rows) {
        if (row.method != method.method || row.shape != shape) {
          continue;
        }
        ++found;
        EXPECT_EQ(row.token, method.admin ? "admin" : "any");
        EXPECT_EQ(row.query != "-", route.query == ApiQueryRule::kHandlerReads) << row.query;
      }
      EXPECT_EQ(found, 1) << "rows of the resource table";
      EXPECT_TRUE(has_heading(lines, method.method, shape))
          << "no section \"3.<n> " << method.method << " ...\"";
    }
  }
  EXPECT_EQ(rows.size(), methods) << "the resource table lists a method the router lacks";
}

// A fixed message a handler answers with: the string literals of an api_error call, C escapes
// kept as written (the reference quotes messages the same way).
struct HandlerMessage {
  std::string code;  // the enumerator, e.g. "kNotFound"
  std::string text;
};

size_t skip_blanks(std::string_view s, size_t at) {
  while (at < s.size() && (s[at] == ' ' || s[at] == '\n')) {
    ++at;
  }
  return at;
}

std::vector<HandlerMessage> handler_messages(std::string_view source) {
  constexpr std::string_view kCall = "api_error(";
  constexpr std::string_view kCode = "ApiErrorCode::";
  constexpr size_t kCodeNear = 40;  // "api_error(call, ApiErrorCode::" with any spacing
  std::vector<HandlerMessage> messages;
  size_t at = 0;
  while ((at = source.find(kCall, at)) != std::string_view::npos) {
    at += kCall.size();
    size_t p = source.find(kCode, at);
    if (p == std::string_view::npos || p - at > kCodeNear) {
      continue;
    }
    p += kCode.size();
    const size_t name = p;
    while (p < source.size() && (isalnum(static_cast<unsigned char>(source[p])) != 0)) {
      ++p;
    }
    HandlerMessage m;
    m.code = std::string(source.substr(name, p - name));
    p = skip_blanks(source, p);
    if (p >= source.size() || source[p] != ',') {
      continue;
    }
    p = skip_blanks(source, p + 1);
    while (p < source.size() && source[p] == '"') {
      for (++p; p < source.size() && source[p] != '"'; ++p) {
        if (source[p] == '\\' && p + 1 < source.size()) {
          m.text += source[p++];
        }
        m.text += source[p];
      }
      p = skip_blanks(source, p + 1);
    }
    // "%s" alone passes on a message made elsewhere (the configuration's, authentication's).
    if (!m.text.empty() && m.text != "%s") {
      messages.push_back(m);
    }
    at = p;
  }
  return messages;
}

// The text of the section whose heading begins with number and a space, up to the next
// heading.
std::string section_text(std::string_view text, std::string_view number) {
  std::string out;
  bool inside = false;
  for (std::string_view line : split_lines(text)) {
    if (!line.empty() && line[0] >= '0' && line[0] <= '9') {
      inside = line.starts_with(number) && line.substr(number.size()).starts_with(" ");
      continue;
    }
    if (inside) {
      out.append(line);
      out += '\n';
    }
  }
  return out;
}

// The sections that document each handler file's answers; a file not named here (and not
// ignored) must have its messages somewhere in the reference.
const std::map<std::string, std::vector<std::string>>& handler_sections() {
  static const std::map<std::string, std::vector<std::string>> sections = {
      {"router.cc", {"1.7"}},
      {"handle.cc", {"1.7"}},
      {"json_writer.cc", {"1.7"}},
      {"jobs.cc", {"3.2", "3.3"}},
      {"job_change.cc", {"3.4", "3.5", "3.6"}},
      {"apply_change.cc", {"3.4"}},
      {"settings.cc", {"3.7", "3.9"}},
      {"settings_change.cc", {"3.4", "3.8", "3.10"}},
      {"runs.cc", {"3.11", "3.12", "3.13", "3.14"}},
      {"test_mail.cc", {"3.15", "3.16"}},
  };
  return sections;
}

std::vector<std::string> handler_files() {
  std::vector<std::string> files;
  DIR* d = opendir(kHandlerDir);
  if (d == nullptr) {
    return files;
  }
  while (struct dirent* de = readdir(d)) {
    const std::string_view name = de->d_name;
    if (name.ends_with(".cc") && !name.ends_with("_test.cc") && !name.ends_with("_fuzz.cc")) {
      files.emplace_back(name);
    }
  }
  closedir(d);
  std::sort(files.begin(), files.end());
  return files;
}

const ApiErrorInfo* error_info_of(std::string_view enumerator) {
  for (const ApiErrorInfo& e : kApiErrors) {
    // kConfigWriteDisabled <-> config_write_disabled
    std::string name = "k";
    bool upper = true;
    for (const char* c = e.text; *c != '\0'; ++c) {
      if (*c == '_') {
        upper = true;
        continue;
      }
      name += upper ? static_cast<char>(toupper(static_cast<unsigned char>(*c))) : *c;
      upper = false;
    }
    if (name == enumerator) {
      return &e;
    }
  }
  return nullptr;
}

// Every fixed message of every api_error call in the handlers' sources is quoted, with its
// status and code ("404 not_found \"no such run\""), in a section of its resource.
TEST_F(ApiReference, QuotesEveryHandlerMessageInItsSection) {
  const std::vector<std::string> files = handler_files();
  ASSERT_FALSE(files.empty()) << "no sources in " << kHandlerDir;
  const std::string everywhere = squeeze_spaces(text);
  size_t checked = 0;
  for (const std::string& file : files) {
    const std::string source = read_text_file(std::string(kHandlerDir) + "/" + file);
    ASSERT_FALSE(source.empty()) << file;
    auto it = handler_sections().find(file);
    std::vector<std::string> sections;
    if (it == handler_sections().end()) {
      sections.push_back(everywhere);
    } else {
      for (const std::string& number : it->second) {
        sections.push_back(squeeze_spaces(section_text(text, number)));
        EXPECT_FALSE(sections.back().empty()) << "no section " << number;
      }
    }
    for (const HandlerMessage& m : handler_messages(source)) {
      SCOPED_TRACE(file + ": " + m.text);
      ++checked;
      const ApiErrorInfo* info = error_info_of(m.code);
      ASSERT_NE(info, nullptr) << m.code;
      const std::string quoted =
          std::to_string(info->status) + " " + info->text + " \"" + squeeze_spaces(m.text) + "\"";
      bool found = false;
      for (const std::string& section : sections) {
        found = found || section.find(quoted) != std::string::npos;
      }
      EXPECT_TRUE(found) << "not quoted as " << quoted;
    }
  }
  // The sources are read as text: a parser that found next to nothing would pass vacuously.
  EXPECT_GE(checked, 60u);
}

// The limits the reference states for the resources are the server's constants.
TEST_F(ApiReference, StatesTheResourceLimitsOfTheServer) {
  auto n = [](auto value) { return std::to_string(value); };
  const std::string phrases[] = {
      "limit (default " + n(kApiJobsPageMax) + ", 1.." + n(kApiJobsPageMax) + ")",
      "the answer has to fit " + n(kApiResponseSize) + " bytes",
      "array of at most " + n(kMaxAfter) + " job names",
      "timeout_seconds integer 0.." + n(kApiJobTimeoutMax) + " ",
      "each an integer 0.." + n(kApiSchedValueMax) + " or null",
      "array of 1.." + n(kApiMailRecipientsMax) + " plain addresses",
      "(" + n(kApiRunQueueMax) + " other runs queued)",
      "The job's " + n(kApiRunsListed) + " newest runs",
      "length (default " + n(kApiLogChunkMax) + ", 1.." + n(kApiLogChunkMax) + ")",
      "data is at most " + n(kApiLogDataLimit) + " bytes",
      "remembers the last " + n(kApiTestMailSlots) + " test mails",
  };
  const std::string squeezed = squeeze_spaces(text);
  for (const std::string& phrase : phrases) {
    EXPECT_NE(squeezed.find(phrase), std::string::npos) << phrase;
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
