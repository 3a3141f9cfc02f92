// Fuzz target: the router's path splitting. The input is taken as a path both as it is and
// behind "/api/v1/"; a split either fails with no segments or gives 1 to 6 non-empty segments
// of allowed bytes, and percent-encoding those segments again splits back to the same ones.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <string_view>

#include "sched/api/router.h"

namespace {

void check(std::string_view path) {
  vrk::ApiPath p;
  int rc = vrk::api_split_path(path, p);
  if (rc != 0) {
    if (rc != -1 || p.count != 0) {
      abort();
    }
    return;
  }
  if (p.count < 1 || p.count > vrk::kApiPathMaxSegments) {
    abort();
  }
  std::string again = "/api/v1";
  for (int i = 0; i < p.count; ++i) {
    size_t n = strnlen(p.segments[i], vrk::kApiSegmentSize);
    if (n == 0 || n == vrk::kApiSegmentSize) {
      abort();
    }
    again += '/';
    for (size_t j = 0; j < n; ++j) {
      unsigned char c = static_cast<unsigned char>(p.segments[i][j]);
      if (c < 32 || c == 127 || c == '/') {
        abort();
      }
      char esc[4];
      snprintf(esc, sizeof esc, "%%%02X", c);
      again += esc;
    }
  }
  vrk::ApiPath q;
  if (vrk::api_split_path(again, q) != 0 || q.count != p.count) {
    abort();
  }
  for (int i = 0; i < p.count; ++i) {
    if (strcmp(p.segments[i], q.segments[i]) != 0) {
      abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view raw(reinterpret_cast<const char*>(data), size);
  check(raw);
  std::string prefixed = "/api/v1/";
  prefixed.append(raw);
  check(prefixed);
  return 0;
}
