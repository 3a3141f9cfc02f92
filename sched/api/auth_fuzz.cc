// Fuzz target: the Authorization value of a request. The input is cut at its first NUL byte and
// to the IPC field limit; the reason must be one of the nine, and only an accepted value names
// a token. A known token and secret make the deeper branches reachable.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "common/text.h"
#include "sched/api/auth.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::unique_ptr<vrk::TokenTable> tokens = [] {
    auto t = std::make_unique<vrk::TokenTable>();
    const char* names[] = {"reader", "admin1"};
    for (int i = 0; i < 2; ++i) {
      vrk::ApiToken& e = t->tokens[t->count++];
      vrk::text_copy_cut(e.name, names[i]);
      memset(e.secret, 'A', 43);
      e.role = i == 0 ? vrk::TokenRole::kRead : vrk::TokenRole::kAdmin;
    }
    return t;
  }();
  static auto cache = std::make_unique<vrk::ApiNonceCache>();
  vrk::ApiRequest request;
  memcpy(request.method, "PUT", 4);
  memcpy(request.path, "/api/v1/info", 13);
  memcpy(request.client_address, "fuzz", 5);
  request.body = data;
  request.body_length = static_cast<uint32_t>(size < 32768 ? size : 32768);
  size_t n = strnlen(reinterpret_cast<const char*>(data), size);
  n = n < sizeof request.authorization - 1 ? n : sizeof request.authorization - 1;
  memcpy(request.authorization, data, n);
  request.authorization[n] = '\0';
  vrk::AuthResult result;
  vrk::AuthReason reason = vrk::api_authenticate(*tokens, *cache, 1'800'000'000, request, result);
  int r = static_cast<int>(reason);
  if (r < 0 || r > 8 || (reason == vrk::AuthReason::kOk) != (result.token != nullptr)) {
    abort();
  }
  return 0;
}
