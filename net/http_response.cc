#include "net/http_response.h"

#include <stdio.h>

namespace vrk {

namespace {

struct ReasonPhrase {
  unsigned status;
  const char* text;
};

constexpr ReasonPhrase kReasonPhrases[] = {
    {100, "Continue"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {412, "Precondition Failed"},
    {413, "Content Too Large"},
    {414, "URI Too Long"},
    {417, "Expectation Failed"},
    {428, "Precondition Required"},
    {429, "Too Many Requests"},
    {431, "Request Header Fields Too Large"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {503, "Service Unavailable"},
    {504, "Gateway Timeout"},
    {505, "HTTP Version Not Supported"},
};

}  // namespace

const char* http_reason_phrase(unsigned status) {
  for (const ReasonPhrase& r : kReasonPhrases) {
    if (r.status == status) {
      return r.text;
    }
  }
  return "Status";
}

int http_response_head(unsigned status, size_t body_length, std::string_view etag,
                       std::string_view signature, bool keep_alive,
                       char (&head)[kHttpResponseHeadSize]) {
  bool has_etag = !etag.empty();
  bool has_signature = !signature.empty();
  int n =
      snprintf(head, sizeof head,
               "HTTP/1.1 %u %s\r\nContent-Type: application/json\r\nContent-Length: "
               "%zu\r\nCache-Control: no-store\r\n%s%.*s%s%s%.*s%sConnection: %s\r\n\r\n",
               status, http_reason_phrase(status), body_length, has_etag ? "ETag: " : "",
               static_cast<int>(etag.size()), etag.data(), has_etag ? "\r\n" : "",
               has_signature ? "X-VRK-Signature: " : "", static_cast<int>(signature.size()),
               signature.data(), has_signature ? "\r\n" : "", keep_alive ? "keep-alive" : "close");
  if (n < 0 || static_cast<size_t>(n) >= sizeof head) {
    head[0] = '\0';
    return -1;
  }
  return n;
}

int http_error_body(const char* code, const char* message, char (&body)[kHttpErrorBodySize]) {
  int n = snprintf(body, sizeof body, "{\"error\":{\"code\":\"%s\",\"message\":\"%s\"}}", code,
                   message);
  if (n < 0 || static_cast<size_t>(n) >= sizeof body) {
    body[0] = '\0';
    return -1;
  }
  return n;
}

}  // namespace vrk
