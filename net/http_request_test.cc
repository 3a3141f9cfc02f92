#include "net/http_request.h"

#include <string>

#include <gtest/gtest.h>

#include "net/http_response.h"

namespace vrk {
namespace {

std::string head_with(const std::string& request_line, const std::string& headers = "") {
  return request_line + "\r\n" + headers + "\r\n";
}

std::string get_with_header(const std::string& header_lines) {
  return head_with("GET / HTTP/1.1", header_lines);
}

TEST(HttpRequestParse, RefusesWithTheStatusOfEachRule) {
  struct Case {
    std::string name;
    std::string input;
    int want;
  };
  const Case cases[] = {
      // Request line.
      {"empty request line", "\r\n\r\n", 400},
      {"lower-case method", head_with("get / HTTP/1.1"), 400},
      {"method with digit", head_with("GE7 / HTTP/1.1"), 400},
      {"nine-letter method", head_with("PROPPATCH / HTTP/1.1"), 501},
      {"unknown method", head_with("PATCH / HTTP/1.1"), 501},
      {"eight-letter unknown method", head_with("ABCDEFGH / HTTP/1.1"), 501},
      {"no target", head_with("GET"), 400},
      {"empty target", head_with("GET  HTTP/1.1"), 400},
      {"target without slash", head_with("GET x HTTP/1.1"), 400},
      {"fragment in target", head_with("GET /a#b HTTP/1.1"), 400},
      {"control byte in target", head_with("GET /a\x01 HTTP/1.1"), 400},
      {"high byte in target", head_with("GET /a\x80 HTTP/1.1"), 400},
      {"no version", head_with("GET /"), 400},
      {"version not HTTP", head_with("GET / FTP/1.1"), 400},
      {"lower-case version", head_with("GET / http/1.1"), 400},
      {"HTTP/2.0", head_with("GET / HTTP/2.0"), 505},
      {"HTTP/0.9", head_with("GET / HTTP/0.9"), 505},
      {"trailing text after version", head_with("GET / HTTP/1.1 x"), 505},
      {"version checked before method", head_with("PATCH / HTTP/3"), 505},
      {"path of 2049 bytes", head_with("GET /" + std::string(2048, 'a') + " HTTP/1.1"), 414},
      {"query of 1025 bytes", head_with("GET /?" + std::string(1025, 'q') + " HTTP/1.1"), 414},
      // Header lines.
      {"folded line", get_with_header("A: b\r\n c\r\n"), 400},
      {"tab-folded line", get_with_header("A: b\r\n\tc\r\n"), 400},
      {"no colon", get_with_header("Host\r\n"), 400},
      {"empty name", get_with_header(": x\r\n"), 400},
      {"space before colon", get_with_header("Host : x\r\n"), 400},
      {"bad name char", get_with_header("Ho(st: x\r\n"), 400},
      {"bare LF inside a line", get_with_header("A: b\nC: d\r\n"), 400},
      {"control byte in value", get_with_header("A: b\x01\r\n"), 400},
      {"DEL in value", get_with_header("A: b\x7f\r\n"), 400},
      {"two Authorization", get_with_header("Authorization: a\r\nauthorization: b\r\n"), 400},
      {"Authorization 513 bytes",
       get_with_header("Authorization: " + std::string(513, 'a') + "\r\n"), 431},
      {"tab inside Authorization", get_with_header("Authorization: Bearer\tx\r\n"), 400},
      {"high byte in Authorization", get_with_header("Authorization: Bearer \xc3\xa9\r\n"), 400},
      {"two If-Match", get_with_header("If-Match: \"a\"\r\nIf-Match: \"b\"\r\n"), 400},
      {"If-Match 129 bytes", get_with_header("If-Match: " + std::string(129, 'e') + "\r\n"), 431},
      {"tab inside If-Match", get_with_header("If-Match: \"a\"\t\"b\"\r\n"), 400},
      {"high byte in If-Match", get_with_header("If-Match: \"\xff\"\r\n"), 400},
      {"empty Content-Length", get_with_header("Content-Length:\r\n"), 400},
      {"signed Content-Length", get_with_header("Content-Length: +5\r\n"), 400},
      {"non-digit Content-Length", get_with_header("Content-Length: 12a\r\n"), 400},
      {"Content-Length 32769", get_with_header("Content-Length: 32769\r\n"), 413},
      {"Content-Length nine nines", get_with_header("Content-Length: 999999999\r\n"), 413},
      {"Content-Length of 10 chars", get_with_header("Content-Length: 0000000001\r\n"), 413},
      {"Content-Length of 10 non-digits", get_with_header("Content-Length: abcdefghij\r\n"), 413},
      {"second Content-Length", get_with_header("Content-Length: 1\r\nContent-Length: 1\r\n"), 400},
      {"second Content-Length of 10 chars",
       get_with_header("Content-Length: 1\r\nContent-Length: 1234567890\r\n"), 413},
      {"Transfer-Encoding", get_with_header("Transfer-Encoding: chunked\r\n"), 501},
      {"empty Transfer-Encoding", get_with_header("transfer-encoding:\r\n"), 501},
      {"Expect other value", get_with_header("Expect: 200-ok\r\n"), 417},
      {"Expect 513 bytes", get_with_header("Expect: " + std::string(513, 'x') + "\r\n"), 431},
      {"Connection 513 bytes", get_with_header("Connection: " + std::string(513, 'x') + "\r\n"),
       431},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HttpRequestHead head;
    head.content_length = 77;
    EXPECT_EQ(http_request_parse(c.input, head), c.want);
    EXPECT_EQ(head.content_length, 77u);  // untouched on a refusal
    EXPECT_NE(http_parse_error_code(static_cast<unsigned>(c.want)), nullptr);
  }
}

TEST(HttpRequestParse, HeadLimits) {
  HttpRequestHead head;
  // 8192 bytes without the empty line: 431; one byte less: more bytes are needed.
  std::string open = "GET / HTTP/1.1\r\nX: " + std::string(8192, 'a');
  EXPECT_EQ(http_request_parse(std::string_view(open).substr(0, 8192), head), 431);
  EXPECT_EQ(http_request_parse(std::string_view(open).substr(0, 8191), head), kHttpHeadMore);
  EXPECT_EQ(http_request_parse(open, head), 431);
  // A NUL in an unfinished head: 400 at once.
  EXPECT_EQ(http_request_parse(std::string("GET /\0 HT", 9), head), 400);
  EXPECT_EQ(http_request_parse("", head), kHttpHeadMore);
  EXPECT_EQ(http_request_parse("GET / HTTP/1.1\r\n\r", head), kHttpHeadMore);

  // A head of exactly 8192 bytes with its empty line is accepted; one more byte is not.
  std::string prefix = "GET / HTTP/1.1\r\nX: ";
  std::string exact = prefix + std::string(8192 - prefix.size() - 4, 'a') + "\r\n\r\n";
  ASSERT_EQ(exact.size(), 8192u);
  EXPECT_EQ(http_request_parse(exact, head), kHttpHeadComplete);
  EXPECT_EQ(head.head_length, 8192u);
  std::string over = prefix + std::string(8193 - prefix.size() - 4, 'a') + "\r\n\r\n";
  EXPECT_EQ(http_request_parse(over, head), 431);

  // 64 header lines pass, the 65th is 431.
  std::string lines;
  for (int i = 0; i < 64; ++i) {
    lines += "X-" + std::to_string(i) + ": v\r\n";
  }
  EXPECT_EQ(http_request_parse(get_with_header(lines), head), kHttpHeadComplete);
  EXPECT_EQ(http_request_parse(get_with_header(lines + "Y: z\r\n"), head), 431);

  // Field limits: at the limit accepted.
  std::string path = "/" + std::string(2047, 'p');
  std::string query(1024, 'q');
  EXPECT_EQ(http_request_parse(head_with("DELETE " + path + "?" + query + " HTTP/1.1"), head),
            kHttpHeadComplete);
  EXPECT_EQ(std::string(head.path), path);
  EXPECT_EQ(std::string(head.query), query);
  std::string auth(512, 'a');
  std::string etag(128, 'e');
  EXPECT_EQ(http_request_parse(get_with_header("Authorization: " + auth + "\r\nIf-Match: " + etag +
                                               "\r\nContent-Length: 32768\r\n"),
                               head),
            kHttpHeadComplete);
  EXPECT_TRUE(std::string(head.authorization) == auth);
  EXPECT_EQ(std::string(head.if_match), etag);
  EXPECT_EQ(head.content_length, 32768u);
  EXPECT_EQ(http_request_parse(
                get_with_header("Expect: " + std::string(500, ' ') +
                                "100-continue\r\nConnection: " + std::string(512, ',') + "\r\n"),
                head),
            kHttpHeadComplete);
}

TEST(HttpRequestParse, TakesTheFieldsOfAGoodHead) {
  HttpRequestHead head;
  std::string text =
      "PUT /v1/jobs/backup?dry=1&x=%20 HTTP/1.1\r\n"
      "Host: example\r\n"
      "authorization: \t VRK-HMAC key=a, sig=b \t\r\n"
      "IF-MATCH: \"abc\"\r\n"
      "content-length: 000000005\r\n"
      "X-Other: \xc3\xa9\tignored\r\n"
      "\r\n"
      "helloGET / HTTP/1.1\r\n\r\n";
  ASSERT_EQ(http_request_parse(text, head), kHttpHeadComplete);
  EXPECT_EQ(std::string(head.method), "PUT");
  EXPECT_EQ(std::string(head.path), "/v1/jobs/backup");
  EXPECT_EQ(std::string(head.query), "dry=1&x=%20");
  EXPECT_TRUE(std::string(head.authorization) == "VRK-HMAC key=a, sig=b");
  EXPECT_EQ(std::string(head.if_match), "\"abc\"");
  EXPECT_EQ(head.content_length, 5u);
  EXPECT_EQ(head.head_length, text.find("hello"));
  EXPECT_TRUE(head.keep_alive);
  EXPECT_FALSE(head.expect_continue);

  ASSERT_EQ(http_request_parse(head_with("POST /? HTTP/1.0"), head), kHttpHeadComplete);
  EXPECT_EQ(std::string(head.path), "/");
  EXPECT_EQ(std::string(head.query), "");
  EXPECT_EQ(std::string(head.authorization), "");
  EXPECT_EQ(head.content_length, 0u);
}

TEST(HttpRequestParse, KeepAliveAndContinueRules) {
  struct Case {
    std::string input;
    bool keep_alive;
    bool expect_continue;
  };
  const Case cases[] = {
      {head_with("GET / HTTP/1.1"), true, false},
      {head_with("GET / HTTP/1.0"), false, false},
      {head_with("GET / HTTP/1.0", "Connection: keep-alive\r\n"), true, false},
      {head_with("GET / HTTP/1.0", "Connection: Upgrade , KEEP-ALIVE\r\n"), true, false},
      {head_with("GET / HTTP/1.0", "Connection: keep-alive, close\r\n"), false, false},
      {head_with("GET / HTTP/1.0", "Connection: close\r\nConnection: keep-alive\r\n"), false,
       false},
      {head_with("GET / HTTP/1.0", "Connection: keep-alives\r\n"), false, false},
      {head_with("GET / HTTP/1.1", "Connection: foo, CLOSE ,bar\r\n"), false, false},
      {head_with("GET / HTTP/1.1", "Connection: closed\r\n"), true, false},
      {head_with("GET / HTTP/1.1", "Connection: keep-alive\r\n"), true, false},
      {head_with("POST / HTTP/1.1", "Expect: 100-Continue\r\nContent-Length: 3\r\n"), true, true},
      {head_with("POST / HTTP/1.0", "Expect: 100-continue\r\nContent-Length: 3\r\n"), false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    HttpRequestHead head;
    ASSERT_EQ(http_request_parse(c.input, head), kHttpHeadComplete);
    EXPECT_EQ(head.keep_alive, c.keep_alive);
    EXPECT_EQ(head.expect_continue, c.expect_continue);
  }
}

TEST(HttpErrorBody, EveryParserStatusHasItsExactBody) {
  struct Case {
    unsigned status;
    const char* body;
  };
  const Case cases[] = {
      {400, R"({"error":{"code":"bad_request","message":"Bad Request"}})"},
      {413, R"({"error":{"code":"payload_too_large","message":"Content Too Large"}})"},
      {414, R"({"error":{"code":"uri_too_long","message":"URI Too Long"}})"},
      {417, R"({"error":{"code":"expectation_failed","message":"Expectation Failed"}})"},
      {431, R"({"error":{"code":"header_too_large","message":"Request Header Fields Too Large"}})"},
      {501, R"({"error":{"code":"not_implemented","message":"Not Implemented"}})"},
      {505, R"({"error":{"code":"http_version","message":"HTTP Version Not Supported"}})"},
  };
  ASSERT_EQ(std::size(cases), std::size(kHttpParseErrors));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    const char* code = http_parse_error_code(c.status);
    ASSERT_NE(code, nullptr);
    char body[kHttpErrorBodySize];
    int n = http_error_body(code, http_reason_phrase(c.status), body);
    EXPECT_EQ(std::string(body), c.body);
    EXPECT_EQ(n, static_cast<int>(strlen(c.body)));
  }
  EXPECT_EQ(http_parse_error_code(429), nullptr);

  char body[kHttpErrorBodySize];
  EXPECT_EQ(http_error_body("x", std::string(399 - 35, 'm').c_str(), body), 399);
  EXPECT_EQ(http_error_body("x", std::string(400 - 35, 'm').c_str(), body), -1);
  EXPECT_EQ(std::string(body), "");
}

TEST(HttpResponseHead, ExactBytes) {
  char head[kHttpResponseHeadSize];
  int n = http_response_head(200, 17, "", "", true, head);
  const std::string plain =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 17\r\n"
      "Cache-Control: no-store\r\nConnection: keep-alive\r\n\r\n";
  EXPECT_EQ(std::string(head), plain);
  EXPECT_EQ(n, static_cast<int>(plain.size()));

  n = http_response_head(412, 0, "\"e1\"", "sig=abc", false, head);
  EXPECT_EQ(std::string(head),
            "HTTP/1.1 412 Precondition Failed\r\nContent-Type: application/json\r\n"
            "Content-Length: 0\r\nCache-Control: no-store\r\nETag: \"e1\"\r\n"
            "X-VRK-Signature: sig=abc\r\nConnection: close\r\n\r\n");
  EXPECT_GT(http_response_head(299, 1, "", "s", true, head), 0);
  EXPECT_EQ(std::string(head),
            "HTTP/1.1 299 Status\r\nContent-Type: application/json\r\nContent-Length: 1\r\n"
            "Cache-Control: no-store\r\nX-VRK-Signature: s\r\nConnection: keep-alive\r\n\r\n");

  // The largest head vrk_sched can cause (79-byte ETag, 64-byte signature) fits.
  EXPECT_GT(http_response_head(505, 61440, std::string(79, 'e'), std::string(64, 's'), true, head),
            0);
  EXPECT_EQ(http_response_head(200, 0, std::string(400, 'e'), "", true, head), -1);
  EXPECT_EQ(std::string(head), "");
}

TEST(HttpReasonPhrase, KnownAndOther) {
  EXPECT_STREQ(http_reason_phrase(100), "Continue");
  EXPECT_STREQ(http_reason_phrase(429), "Too Many Requests");
  EXPECT_STREQ(http_reason_phrase(504), "Gateway Timeout");
  EXPECT_STREQ(http_reason_phrase(418), "Status");
  EXPECT_STREQ(http_reason_phrase(0), "Status");
}

}  // namespace
}  // namespace vrk
