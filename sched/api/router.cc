#include "sched/api/router.h"

#include <string.h>

#include "common/text.h"
#include "sched/api/info.h"
#include "sched/api/job_change.h"
#include "sched/api/jobs.h"
#include "sched/api/runs.h"
#include "sched/api/settings.h"
#include "sched/api/settings_change.h"
#include "sched/api/test_mail.h"

namespace vrk {
namespace {

constexpr size_t kQueryValueMaxDigits = 12;

constexpr ApiMethodRoute kEnd = {nullptr, false, false, nullptr};

// Resources whose handlers live elsewhere and are not there yet keep their rows, so that their
// method, query, token and body rules answer as they will; a request that passes them gets
// 500 "internal" "no response".
constexpr ApiRoute kRoutes[] = {
    {{"info"},
     1,
     ApiQueryRule::kNoneAfterMethod,
     {{"GET", false, false, [](ApiCall& c, const ApiPath&) { api_get_info(c); }}, kEnd, kEnd}},
    {{"jobs"},
     1,
     ApiQueryRule::kHandlerReads,
     {{"GET", false, false, [](ApiCall& c, const ApiPath&) { api_list_jobs(c); }}, kEnd, kEnd}},
    // The read-token check of PUT and DELETE is their handlers' first step; making it here,
    // just before them, answers the same.
    {{"jobs", nullptr},
     2,
     ApiQueryRule::kNoneBeforeMethod,
     {{"GET", false, false, [](ApiCall& c, const ApiPath& p) { api_get_job(c, p.segments[1]); }},
      {"PUT", true, false, [](ApiCall& c, const ApiPath& p) { api_put_job(c, p.segments[1]); }},
      {"DELETE", true, false,
       [](ApiCall& c, const ApiPath& p) { api_delete_job(c, p.segments[1]); }}}},
    {{"validate", "job"},
     2,
     ApiQueryRule::kNoneAfterMethod,
     {{"POST", false, false, [](ApiCall& c, const ApiPath&) { api_validate_job(c); }}}},
    {{"settings", "sched"},
     2,
     ApiQueryRule::kNoneBeforeMethod,
     {{"GET", false, false, [](ApiCall& c, const ApiPath&) { api_get_sched(c); }},
      {"PUT", true, false, [](ApiCall& c, const ApiPath&) { api_put_sched(c); }},
      kEnd}},
    {{"settings", "mail"},
     2,
     ApiQueryRule::kNoneBeforeMethod,
     {{"GET", false, false, [](ApiCall& c, const ApiPath&) { api_get_mail(c); }},
      {"PUT", true, false, [](ApiCall& c, const ApiPath&) { api_put_mail(c); }},
      kEnd}},
    {{"mail", "test"},
     2,
     ApiQueryRule::kNoneAfterMethod,
     {{"POST", true, false, [](ApiCall& c, const ApiPath&) { api_test_mail(c); }}}},
    {{"jobs", nullptr, "run"},
     3,
     ApiQueryRule::kNoneAfterMethod,
     {{"POST", true, true, [](ApiCall& c, const ApiPath& p) { api_queue_run(c, p.segments[1]); }}}},
    {{"jobs", nullptr, "cancel"},
     3,
     ApiQueryRule::kNoneAfterMethod,
     {{"POST", true, true,
       [](ApiCall& c, const ApiPath& p) { api_cancel_job(c, p.segments[1]); }}}},
    {{"jobs", nullptr, "runs"},
     3,
     ApiQueryRule::kNoneAfterMethod,
     {{"GET", false, false,
       [](ApiCall& c, const ApiPath& p) { api_list_runs(c, p.segments[1]); }}}},
    {{"mail", "results", nullptr},
     3,
     ApiQueryRule::kNoneAfterMethod,
     {{"GET", false, false,
       [](ApiCall& c, const ApiPath& p) { api_mail_result(c, p.segments[2]); }}}},
    {{"jobs", nullptr, "runs", nullptr, "log"},
     5,
     ApiQueryRule::kHandlerReads,
     {{"GET", false, false,
       [](ApiCall& c, const ApiPath& p) { api_read_log(c, p.segments[1], p.segments[3]); }}}},
};

int hex_digit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

bool route_matches(const ApiRoute& route, const ApiPath& path) {
  if (route.segment_count != path.count) {
    return false;
  }
  for (int i = 0; i < path.count; ++i) {
    if (route.words[i] != nullptr && strcmp(route.words[i], path.segments[i]) != 0) {
      return false;
    }
  }
  return true;
}

const ApiRoute* route_find(const ApiPath& path) {
  for (const ApiRoute& route : kApiRoutes) {
    if (route_matches(route, path)) {
      return &route;
    }
  }
  return nullptr;
}

const ApiMethodRoute* method_find(const ApiRoute& route, const char* method) {
  for (const ApiMethodRoute& m : route.methods) {
    if (m.method != nullptr && strcmp(m.method, method) == 0) {
      return &m;
    }
  }
  return nullptr;
}

}  // namespace

const std::span<const ApiRoute> kApiRoutes = kRoutes;

// path-rest = *( "/" segment ), segment = 1*( pchar / "%" HEXDIG HEXDIG ), decoded length
// 1..255, decoded bytes 32..126 except "/" and 128..255.
int api_split_path(std::string_view path, ApiPath& out) {
  out.count = 0;
  if (!path.starts_with(kApiPathPrefix)) {
    return -1;
  }
  // Starts at the "/" that ends "/api/v1", so every segment follows a "/".
  std::string_view rest = path.substr(kApiPathPrefix.size() - 1);
  size_t i = 0;
  int count = 0;
  while (i < rest.size()) {
    ++i;  // the "/"
    if (count == kApiPathMaxSegments) {
      return -1;
    }
    char* segment = out.segments[count];
    size_t n = 0;
    while (i < rest.size() && rest[i] != '/') {
      unsigned char c = static_cast<unsigned char>(rest[i]);
      if (c == '%') {
        int hi = i + 2 < rest.size() ? hex_digit(rest[i + 1]) : -1;
        int lo = i + 2 < rest.size() ? hex_digit(rest[i + 2]) : -1;
        if (hi < 0 || lo < 0) {
          return -1;
        }
        c = static_cast<unsigned char>(hi * 16 + lo);
        i += 3;
      } else {
        ++i;
      }
      if (c < 32 || c == 127 || c == '/' || n == kApiSegmentSize - 1) {
        return -1;
      }
      segment[n++] = static_cast<char>(c);
    }
    if (n == 0) {
      return -1;
    }
    segment[n] = '\0';
    ++count;
  }
  out.count = count;
  return 0;
}

void api_route(ApiCall& call) {
  const ApiRequest& request = *call.request;
  const std::string_view path = text_view(request.path);
  if (!path.starts_with(kApiPathPrefix)) {
    api_error(call, ApiErrorCode::kNotFound, "unknown path");
    return;
  }
  ApiPath segments;
  if (api_split_path(path, segments) != 0) {
    api_error(call, ApiErrorCode::kNotFound, "malformed path");
    return;
  }
  if (strcmp(request.method, "GET") == 0 && request.body_length != 0) {
    api_error(call, ApiErrorCode::kBadRequest, "GET takes no body");
    return;
  }
  const ApiRoute* route = route_find(segments);
  if (route == nullptr) {
    api_error(call, ApiErrorCode::kNotFound, "unknown path");
    return;
  }
  const bool has_query = request.query[0] != '\0';
  if (route->query == ApiQueryRule::kNoneBeforeMethod && has_query) {
    api_error(call, ApiErrorCode::kBadQuery, "this resource takes no query parameters");
    return;
  }
  const ApiMethodRoute* method = method_find(*route, request.method);
  if (method == nullptr) {
    api_error(call, ApiErrorCode::kMethodNotAllowed, "method %s not allowed here", request.method);
    return;
  }
  if (route->query == ApiQueryRule::kNoneAfterMethod && has_query) {
    api_error(call, ApiErrorCode::kBadQuery, "this resource takes no query parameters");
    return;
  }
  if (method->admin && call.role != TokenRole::kAdmin) {
    api_error(call, ApiErrorCode::kForbidden, "this needs an admin token");
    return;
  }
  if (method->no_body && request.body_length != 0) {
    api_error(call, ApiErrorCode::kBadRequest, "this takes no body");
    return;
  }
  if (method->handler == nullptr) {
    api_error(call, ApiErrorCode::kInternal, "no response");
    return;
  }
  method->handler(call, segments);
}

bool api_query_parse(std::string_view query, const char* second_name, int64_t& offset,
                     int64_t& second) {
  bool offset_seen = false;
  bool second_seen = false;
  size_t pos = 0;
  while (pos <= query.size()) {
    size_t amp = query.find('&', pos);
    size_t end = amp == std::string_view::npos ? query.size() : amp;
    std::string_view part = query.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty()) {
      continue;
    }
    size_t eq = part.find('=');
    if (eq == std::string_view::npos || eq == 0) {
      return false;
    }
    std::string_view name = part.substr(0, eq);
    std::string_view digits = part.substr(eq + 1);
    if (digits.empty() || digits.size() > kQueryValueMaxDigits) {
      return false;
    }
    int64_t value = 0;  // 12 digits fit
    for (char c : digits) {
      if (c < '0' || c > '9') {
        return false;
      }
      value = value * 10 + (c - '0');
    }
    const bool is_offset = name == "offset";
    bool& seen = is_offset ? offset_seen : second_seen;
    if ((!is_offset && name != second_name) || seen) {
      return false;
    }
    seen = true;
    (is_offset ? offset : second) = value;
  }
  return true;
}

}  // namespace vrk
