// HTTP responses of the HTTPS front end: the reason phrases, the one response head every answer
// uses, and the JSON error body of the answers made here rather than by vrk_sched.
#pragma once

#include <stddef.h>

#include <string_view>

namespace vrk {

inline constexpr size_t kHttpResponseHeadSize = 512;  // a head must fit, NUL included
inline constexpr size_t kHttpErrorBodySize = 400;     // an error body must fit, NUL included

// The interim answer to "Expect: 100-continue".
inline constexpr std::string_view kHttpContinue = "HTTP/1.1 100 Continue\r\n\r\n";

// The reason phrase of status; "Status" for one without its own. Never null.
const char* http_reason_phrase(unsigned status);

// Writes the response head: status line, Content-Type, Content-Length, Cache-Control, ETag and
// X-VRK-Signature only when not empty, Connection ("keep-alive" or "close") and the empty line.
// Returns its length, or -1 when it does not fit head (head is then empty).
[[nodiscard]] int http_response_head(unsigned status, size_t body_length, std::string_view etag,
                                     std::string_view signature, bool keep_alive,
                                     char (&head)[kHttpResponseHeadSize]);

// Writes {"error":{"code":"<code>","message":"<message>"}}. Returns its length, or -1 when it
// does not fit body (body is then empty). code and message are our own fixed texts.
[[nodiscard]] int http_error_body(const char* code, const char* message,
                                  char (&body)[kHttpErrorBodySize]);

}  // namespace vrk
