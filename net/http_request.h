// The strict HTTP/1.x request head parser of the HTTPS front end. It reads the bytes received so
// far and yields the parsed head (method, target, the two headers passed on, content length,
// keep-alive and 100-continue) or one refusal status of kHttpParseErrors. The parsed head holds
// the Authorization value, a secret: wipe it with http_request_head_wipe.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string_view>
#include <type_traits>

#include "common/ipc.h"

namespace vrk {

// Limits of a request head.
inline constexpr size_t kHttpHeadMax = 8192;       // up to and including the empty line
inline constexpr size_t kHttpHeaderLinesMax = 64;  // header lines after the request line
inline constexpr size_t kHttpMethodMax = kIpcMethodSize - 1;
inline constexpr size_t kHttpPathMax = kIpcPathSize - 1;
inline constexpr size_t kHttpQueryMax = kIpcQuerySize - 1;
inline constexpr size_t kHttpAuthorizationMax = kIpcAuthorizationSize - 1;
inline constexpr size_t kHttpIfMatchMax = kIpcIfMatchSize - 1;
inline constexpr size_t kHttpListValueMax = 512;  // Expect and Connection values
inline constexpr size_t kHttpContentLengthDigitsMax = 9;
inline constexpr uint32_t kHttpBodyMax = kIpcRequestBodyMax;

// The refusals of the parser (and of the reader: 431 for a full buffer). Each closes the
// connection; the message of its error body is the status's reason phrase.
struct HttpParseError {
  uint16_t status;
  const char* code;  // the "code" of the JSON error body
};
inline constexpr HttpParseError kHttpParseErrors[] = {
    {400, "bad_request"},        {413, "payload_too_large"}, {414, "uri_too_long"},
    {417, "expectation_failed"}, {431, "header_too_large"},  {501, "not_implemented"},
    {505, "http_version"},
};

// The code text of a parser status; null for a status not in kHttpParseErrors.
const char* http_parse_error_code(unsigned status);

// A parsed request head. Texts are NUL-terminated and fit their ApiRequest fields.
struct HttpRequestHead {
  char method[kIpcMethodSize] = {};
  char path[kIpcPathSize] = {};
  char query[kIpcQuerySize] = {};
  char authorization[kIpcAuthorizationSize] = {};
  char if_match[kIpcIfMatchSize] = {};
  uint32_t content_length = 0;
  uint32_t head_length = 0;  // bytes up to and including the empty line
  bool keep_alive = false;
  bool expect_continue = false;
};
static_assert(std::is_trivially_copyable_v<HttpRequestHead>);

// What http_request_parse returns besides an error status.
inline constexpr int kHttpHeadComplete = 0;
inline constexpr int kHttpHeadMore = 1;

// Parses the request head at the start of received. kHttpHeadComplete with out filled;
// kHttpHeadMore when the head is not complete yet (out untouched); otherwise the refusal
// status (a status of kHttpParseErrors), out untouched. Authorization and If-Match values
// must be printable ASCII (they travel to vrk_sched as such): anything else there is 400.
[[nodiscard]] int http_request_parse(std::string_view received, HttpRequestHead& out);

// Zeroes the record (the Authorization value is a secret).
void http_request_head_wipe(HttpRequestHead& head);

}  // namespace vrk
