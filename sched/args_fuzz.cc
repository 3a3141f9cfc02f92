// Fuzz target: args_tokenize with the loader's limit of 64 tokens; every token is freed.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string_view>

#include "sched/args.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  char* tokens[vrk::kArgsMaxTokens] = {};
  char err[256];
  int n = vrk::args_tokenize(text, tokens, vrk::kArgsMaxTokens, err);
  if (n < 0) {
    if (n != -1 || err[0] == '\0' || memchr(err, '\0', sizeof(err)) == nullptr) {
      __builtin_trap();
    }
    for (char* t : tokens) {
      if (t != nullptr) {
        __builtin_trap();
      }
    }
    return 0;
  }
  if (n > vrk::kArgsMaxTokens) {
    __builtin_trap();
  }
  for (int i = 0; i < n; ++i) {
    if (tokens[i] == nullptr || strlen(tokens[i]) >= static_cast<size_t>(vrk::kArgsTokenSize)) {
      __builtin_trap();
    }
  }
  vrk::args_free(tokens, n);
  return 0;
}
