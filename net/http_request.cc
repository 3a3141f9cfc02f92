#include "net/http_request.h"

#include <string.h>

#include <string_view>

#include "common/scope_exit.h"
#include "common/secret_text.h"
#include "common/text.h"

namespace vrk {

namespace {

constexpr int kBadRequest = 400;
constexpr int kPayloadTooLarge = 413;
constexpr int kUriTooLong = 414;
constexpr int kExpectationFailed = 417;
constexpr int kHeaderTooLarge = 431;
constexpr int kNotImplemented = 501;
constexpr int kHttpVersion = 505;

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kEndOfHead = "\r\n\r\n";

bool equals_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') {
      x = static_cast<char>(x - 'A' + 'a');
    }
    if (y >= 'A' && y <= 'Z') {
      y = static_cast<char>(y - 'A' + 'a');
    }
    if (x != y) {
      return false;
    }
  }
  return true;
}

// A header name: letters, digits and "!#$%&'*+-.^_`|~".
bool is_token_char(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
    return true;
  }
  return c != '\0' && strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

std::string_view trim_space_tab(std::string_view v) {
  while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) {
    v.remove_prefix(1);
  }
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) {
    v.remove_suffix(1);
  }
  return v;
}

// Working state of one parse; committed to the caller's record only on success.
struct HeadParse {
  HttpRequestHead head;
  bool http11 = false;
  bool seen_authorization = false;
  bool seen_if_match = false;
  bool seen_content_length = false;
  bool connection_close = false;
  bool connection_keep_alive = false;
};

// Request line: METHOD SP target SP version, where
//   METHOD  = 1*8 "A".."Z" (other bytes: 400; 9 or more letters: 501)
//   target  = "/" *(0x21..0x7E except "#"), split at the first "?" into path and query
//   version = "HTTP/1.1" | "HTTP/1.0" (other "HTTP/" text: 505; anything else: 400)
// then the method must be GET, PUT, POST or DELETE (501).
int parse_request_line(std::string_view line, HeadParse& p) {
  size_t sp = line.find(' ');
  std::string_view method = line.substr(0, sp == std::string_view::npos ? line.size() : sp);
  if (method.empty()) {
    return kBadRequest;
  }
  for (char c : method) {
    if (c < 'A' || c > 'Z') {
      return kBadRequest;
    }
  }
  if (method.size() > kHttpMethodMax) {
    return kNotImplemented;
  }
  if (sp == std::string_view::npos) {
    return kBadRequest;
  }
  std::string_view rest = line.substr(sp + 1);
  size_t sp2 = rest.find(' ');
  std::string_view target = rest.substr(0, sp2 == std::string_view::npos ? rest.size() : sp2);
  if (target.empty() || target.front() != '/') {
    return kBadRequest;
  }
  for (char ch : target) {
    auto c = static_cast<unsigned char>(ch);
    if (c < 0x21 || c > 0x7E || c == '#') {
      return kBadRequest;
    }
  }
  size_t q = target.find('?');
  std::string_view path = target.substr(0, q == std::string_view::npos ? target.size() : q);
  std::string_view query = q == std::string_view::npos ? std::string_view() : target.substr(q + 1);
  if (path.size() > kHttpPathMax || query.size() > kHttpQueryMax) {
    return kUriTooLong;
  }
  std::string_view version =
      sp2 == std::string_view::npos ? std::string_view() : rest.substr(sp2 + 1);
  if (version == "HTTP/1.1") {
    p.http11 = true;
  } else if (version == "HTTP/1.0") {
    p.http11 = false;
  } else if (version.starts_with("HTTP/")) {
    return kHttpVersion;
  } else {
    return kBadRequest;
  }
  if (!ipc_method_allowed(method)) {
    return kNotImplemented;
  }
  if (!text_copy(p.head.method, method) || !text_copy(p.head.path, path) ||
      !text_copy(p.head.query, query)) {
    return kBadRequest;  // cannot happen: the lengths were checked above
  }
  return 0;
}

int on_expect(std::string_view value, HeadParse& p) {
  if (value.size() > kHttpListValueMax) {
    return kHeaderTooLarge;
  }
  if (!equals_nocase(value, "100-continue")) {
    return kExpectationFailed;
  }
  if (p.http11) {
    p.head.expect_continue = true;
  }
  return 0;
}

int on_connection(std::string_view value, HeadParse& p) {
  if (value.size() > kHttpListValueMax) {
    return kHeaderTooLarge;
  }
  text_for_each_item(value, [&](std::string_view item) {
    if (equals_nocase(item, "close")) {
      p.connection_close = true;
    } else if (equals_nocase(item, "keep-alive")) {
      p.connection_keep_alive = true;
    }
    return 0;
  });
  return 0;
}

// Authorization and If-Match: once, bounded, and printable, since vrk_sched receives them as
// printable text; a value the codec cannot carry is refused here rather than answered 503.
int on_kept_text(std::string_view value, bool& seen, size_t max, std::span<char> dst) {
  if (seen) {
    return kBadRequest;
  }
  seen = true;
  if (value.size() > max) {
    return kHeaderTooLarge;
  }
  if (!ipc_text_printable(value) || !text_copy(dst, value)) {
    return kBadRequest;
  }
  return 0;
}

// Content-Length: 1..9 decimal digits, at most once, at most kHttpBodyMax. A value of 10 or
// more characters is 413 even on a second occurrence.
int on_content_length(std::string_view value, HeadParse& p) {
  if (value.size() > kHttpContentLengthDigitsMax) {
    return kPayloadTooLarge;
  }
  if (p.seen_content_length || value.empty()) {
    return kBadRequest;
  }
  p.seen_content_length = true;
  uint32_t n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') {
      return kBadRequest;
    }
    n = n * 10 + static_cast<uint32_t>(c - '0');
  }
  if (n > kHttpBodyMax) {
    return kPayloadTooLarge;
  }
  p.head.content_length = n;
  return 0;
}

int parse_header_line(std::string_view line, HeadParse& p) {
  if (line.empty() || line.front() == ' ' || line.front() == '\t') {
    return kBadRequest;
  }
  size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) {
    return kBadRequest;
  }
  std::string_view name = line.substr(0, colon);
  for (char c : name) {
    if (!is_token_char(static_cast<unsigned char>(c))) {
      return kBadRequest;
    }
  }
  std::string_view value = trim_space_tab(line.substr(colon + 1));
  for (char ch : value) {
    auto c = static_cast<unsigned char>(ch);
    if ((c < 0x20 && c != '\t') || c == 0x7F) {
      return kBadRequest;
    }
  }
  if (equals_nocase(name, "Expect")) {
    return on_expect(value, p);
  }
  if (equals_nocase(name, "If-Match")) {
    return on_kept_text(value, p.seen_if_match, kHttpIfMatchMax, p.head.if_match);
  }
  if (equals_nocase(name, "Connection")) {
    return on_connection(value, p);
  }
  if (equals_nocase(name, "Authorization")) {
    return on_kept_text(value, p.seen_authorization, kHttpAuthorizationMax, p.head.authorization);
  }
  if (equals_nocase(name, "Content-Length")) {
    return on_content_length(value, p);
  }
  if (equals_nocase(name, "Transfer-Encoding")) {
    return kNotImplemented;
  }
  return 0;
}

}  // namespace

const char* http_parse_error_code(unsigned status) {
  for (const HttpParseError& e : kHttpParseErrors) {
    if (e.status == status) {
      return e.code;
    }
  }
  return nullptr;
}

int http_request_parse(std::string_view received, HttpRequestHead& out) {
  std::string_view window = received.substr(0, kHttpHeadMax);
  size_t end = window.find(kEndOfHead);
  if (end == std::string_view::npos) {
    if (received.find('\0') != std::string_view::npos) {
      return kBadRequest;
    }
    return received.size() < kHttpHeadMax ? kHttpHeadMore : kHeaderTooLarge;
  }
  HeadParse p;
  ScopeExit wipe([&] { http_request_head_wipe(p.head); });
  // The head without its final CR LF CR LF: the request line, then header lines, each line
  // ending in CR LF except the last.
  std::string_view lines = received.substr(0, end);
  size_t eol = lines.find(kCrLf);
  std::string_view request_line =
      lines.substr(0, eol == std::string_view::npos ? lines.size() : eol);
  int rc = parse_request_line(request_line, p);
  if (rc != 0) {
    return rc;
  }
  size_t count = 0;
  while (eol != std::string_view::npos) {
    lines.remove_prefix(eol + kCrLf.size());
    eol = lines.find(kCrLf);
    std::string_view line = lines.substr(0, eol == std::string_view::npos ? lines.size() : eol);
    if (++count > kHttpHeaderLinesMax) {
      return kHeaderTooLarge;
    }
    rc = parse_header_line(line, p);
    if (rc != 0) {
      return rc;
    }
  }
  p.head.keep_alive = !p.connection_close && (p.http11 || p.connection_keep_alive);
  p.head.head_length = static_cast<uint32_t>(end + kEndOfHead.size());
  out = p.head;
  return kHttpHeadComplete;
}

void http_request_head_wipe(HttpRequestHead& head) {
  secret_wipe(head);
}

}  // namespace vrk
