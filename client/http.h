// HTTPS exchanges with the API server over one libcurl easy handle (kept open, so a sequence of
// requests reuses the connection). The server is trusted either through a CA file (the
// certificate 'vrk_sched api-init' wrote, with host name checks) or through a pinned
// certificate fingerprint checked in OpenSSL's verify callback. Only https, no redirects.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <span>
#include <string>
#include <string_view>

#include "client/pin.h"
#include "common/handles.h"

namespace vrk {

inline constexpr size_t kHttpErrSize = 512;
inline constexpr size_t kHttpReplyMax = 4 * 1024 * 1024;
inline constexpr long kHttpConnectTimeoutSeconds = 10;
inline constexpr long kHttpTimeoutSeconds = 60;

struct HttpClient {
  CurlEasyPtr easy;
  std::string origin;  // "https://host:port"
  bool pinned = false;
  CertPin pin;
  // Set by the verify callback: a leaf certificate matched the pin on some connection, and the
  // last comparison failed.
  bool pin_checked = false;
  bool pin_mismatch = false;
};

struct HttpRequest {
  const char* method = "GET";
  std::string_view target;  // path and query as sent, starting with '/'
  std::string_view body;
  const char* authorization = nullptr;
  std::string_view if_match;  // empty: no If-Match header
};

struct HttpReply {
  long status = 0;
  std::string body;
  std::string signature;    // the X-VRK-Signature value, trimmed
  int signature_count = 0;  // how many X-VRK-Signature headers came
  bool too_large = false;   // the body went over kHttpReplyMax and the transfer was ended
};

// Checks url ("https://host[:port]" with at most a trailing '/') and sets up client for it with
// ca_file or pin (exactly one non-null). 0, or -1 with one message in err (kHttpErrSize).
// Requires: curl_global_init has been called.
[[nodiscard]] int http_client_open(const char* url, const char* ca_file, const CertPin* pin,
                                   HttpClient& client, std::span<char> err);

// Sends request and reads the whole answer into reply. 0 for any HTTP answer, or -1 with one
// message in err when none came (connection, TLS, pin, time-out, an answer over kHttpReplyMax).
[[nodiscard]] int http_exchange(HttpClient& client, const HttpRequest& request, HttpReply& reply,
                                std::span<char> err);

}  // namespace vrk
