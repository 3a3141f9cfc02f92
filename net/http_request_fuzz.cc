// libFuzzer target for the request head parser. The result must be complete, "more" or a
// status of the refusal table; a complete head must lie inside the input, end in the empty
// line and hold texts that vrk_sched accepts as an API_REQUEST.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string_view>

#include "common/ipc.h"
#include "net/http_request.h"

namespace vrk {
namespace {

IpcBuffer g_buf;

void check(bool ok) {
  if (!ok) {
    abort();
  }
}

void check_head(std::string_view input, const HttpRequestHead& head) {
  check(head.head_length >= 4 && head.head_length <= kHttpHeadMax &&
        head.head_length <= input.size());
  check(input.substr(head.head_length - 4, 4) == "\r\n\r\n");
  check(head.content_length <= kHttpBodyMax);
  check(memchr(head.authorization, '\0', sizeof head.authorization) != nullptr);
  check(memchr(head.if_match, '\0', sizeof head.if_match) != nullptr);
  ApiRequest req;
  memcpy(req.method, head.method, sizeof req.method);
  memcpy(req.path, head.path, sizeof req.path);
  memcpy(req.query, head.query, sizeof req.query);
  memcpy(req.authorization, head.authorization, sizeof req.authorization);
  memcpy(req.if_match, head.if_match, sizeof req.if_match);
  memcpy(req.client_address, "127.0.0.1", 10);
  // Every parsed head can be forwarded: nothing the parser lets through is refused later.
  check(ipc_build_api_request(g_buf, 1, req) == 0);
  IpcMessage msg;
  check(ipc_parse_header(g_buf, msg) == 0);
  ApiRequest back;
  char err[256];
  check(ipc_parse_api_request(msg, back, err) == 0);
  check(strcmp(back.authorization, head.authorization) == 0);
}

}  // namespace
}  // namespace vrk

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  vrk::HttpRequestHead head;
  int rc = vrk::http_request_parse(input, head);
  if (rc == vrk::kHttpHeadComplete) {
    vrk::check_head(input, head);
  } else if (rc != vrk::kHttpHeadMore) {
    vrk::check(vrk::http_parse_error_code(static_cast<unsigned>(rc)) != nullptr);
  }
  vrk::http_request_head_wipe(head);
  return 0;
}
