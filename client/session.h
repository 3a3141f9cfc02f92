// One signed API call: sign the request with the client's token, exchange it over HTTPS, check
// the answer's X-VRK-Signature, and parse its JSON. The token is wiped when the session ends.
#pragma once

#include <stdint.h>

#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "client/credential.h"
#include "client/http.h"
#include "common/handles.h"
#include "sched/api/json_reader.h"

namespace vrk {

inline constexpr size_t kSessionErrSize = 768;
// Answers are larger than request bodies: a job page fills up to 61440 bytes.
inline constexpr size_t kAnswerJsonMaxSize = kHttpReplyMax;
inline constexpr int kAnswerJsonMaxDepth = 16;
inline constexpr size_t kAnswerJsonMaxValues = 1000000;

using JsonValuePtr = std::unique_ptr<JsonValue, FreeWith<json_value_free>>;

struct ClientSession {
  HttpClient http;
  ClientToken token;
  ~ClientSession();
};

// An answer whose signature was checked, or an unsigned error answer (signed false): the server
// leaves failed authentications and its front end's own refusals unsigned.
struct ApiAnswer {
  long status = 0;
  bool signed_answer = false;
  std::string body;
  JsonValuePtr root;                // null when the body is no JSON
  const JsonValue* json = nullptr;  // root.get()
};

struct ApiRequestParts {
  const char* method = "GET";
  std::string path;   // percent-encoded, from "/api/v1/"
  std::string query;  // without '?'
  std::string_view body;
  std::string_view if_match;
};

// Makes the call. 0 with answer filled for any answer that may be believed: signed and verified,
// or unsigned with a status outside 2xx. -1 with one message in err (kSessionErrSize) when no
// answer came, a signature does not verify, a 2xx answer is unsigned, or a 2xx body is not
// JSON.
[[nodiscard]] int session_call(ClientSession& session, const ApiRequestParts& call, int64_t now,
                               ApiAnswer& answer, std::span<char> err);

// "/api/v1/" followed by the segments, each percent-encoded by libcurl (every byte but A-Z a-z
// 0-9 - . _ ~) into path. False when out of memory.
[[nodiscard]] bool session_path(std::initializer_list<std::string_view> segments,
                                std::string& path);

}  // namespace vrk
