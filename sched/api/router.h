// The API router: splits the path under /api/v1/ into percent-decoded segments (ApiPath), finds
// the resource in one constant table (kApiRoutes) and applies its method, query, token and body
// rules in a fixed order before calling the handler. Every refusal is an api_error answer.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <span>
#include <string_view>

#include "sched/api/json_writer.h"

namespace vrk {

inline constexpr int kApiPathMaxSegments = 6;
inline constexpr size_t kApiSegmentSize = 256;  // a decoded segment holds at most 255 bytes
inline constexpr std::string_view kApiPathPrefix = "/api/v1/";

// The decoded segments of a path under /api/v1, each NUL-terminated and non-empty.
struct ApiPath {
  char segments[kApiPathMaxSegments][kApiSegmentSize] = {};
  int count = 0;
};

// Splits what follows "/api/v1" (path must begin with kApiPathPrefix) at "/" and percent-decodes
// each segment ("%" and two hex digits of either case). Fails for an empty segment, more than 6
// segments, a bad escape, a decoded byte below 32, 127 or "/", or a segment over 255 bytes after
// decoding. 0, or -1 with out cleared.
[[nodiscard]] int api_split_path(std::string_view path, ApiPath& out);

// A handler called by the router with the call and the decoded path.
using ApiHandler = void (*)(ApiCall& call, const ApiPath& path);

// Where the router checks "no query parameters" for a resource: before the method (its methods
// share one answer), after it, or never (the handler reads the query itself).
enum class ApiQueryRule : uint8_t {
  kNoneAfterMethod,
  kNoneBeforeMethod,
  kHandlerReads,
};

inline constexpr int kApiRouteMethods = 3;

struct ApiMethodRoute {
  const char* method;  // nullptr ends the row's list
  bool admin;          // read tokens get 403 "forbidden"
  bool no_body;        // a body gets 400 "bad_request" "this takes no body"
  ApiHandler handler;  // nullptr while the resource has no handler yet: 500 "no response"
};

struct ApiRoute {
  const char* words[kApiPathMaxSegments];  // nullptr: any segment (a job name or an id)
  int segment_count;
  ApiQueryRule query;
  ApiMethodRoute methods[kApiRouteMethods];
};

// The resource table, in the order the router tries it.
extern const std::span<const ApiRoute> kApiRoutes;

// Routes one authenticated call; always ends with a response. The checks, first failure answers:
// path prefix (404 "unknown path"), segments (404 "malformed path"), GET with a body (400), then
// per resource the query (before or after the method), the method (405), an admin token (403)
// and an empty body (400), as its table row says; a path outside the table is 404 "unknown path".
void api_route(ApiCall& call);

// query = [ part *( "&" part ) ], part = "" / name "=" 1*12DIGIT, name = "offset" / second_name,
// each at most once; empty parts are skipped. False for anything else; offset and second are
// kept when not given.
[[nodiscard]] bool api_query_parse(std::string_view query, const char* second_name, int64_t& offset,
                                   int64_t& second);

}  // namespace vrk
