// Fuzz target: the tokens file's line rules. Checks the result code and message, that a failed
// load leaves an empty table, and that composing a loaded table and loading the text again
// gives the same table.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <memory>
#include <string_view>

#include "sched/api/tokens.h"

namespace {

// Field by field: padding bytes take no part.
bool same_tables(const vrk::TokenTable& a, const vrk::TokenTable& b) {
  if (a.count != b.count) {
    return false;
  }
  for (uint64_t i = 0; i < a.count; ++i) {
    const vrk::ApiToken& x = a.tokens[i];
    const vrk::ApiToken& y = b.tokens[i];
    if (strcmp(x.name, y.name) != 0 || x.role != y.role || x.created != y.created ||
        strcmp(x.secret, y.secret) != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  static auto table = std::make_unique<vrk::TokenTable>();
  static auto again = std::make_unique<vrk::TokenTable>();
  static auto composed = std::make_unique<char[]>(vrk::kTokenFileMaxBytes);
  char err[vrk::kTokenFileErrSize];
  int rc = vrk::token_file_parse(text, "fuzz", *table, err);
  if (rc != 0) {
    if (rc != -1 || err[0] == '\0' || memchr(err, '\0', sizeof err) == nullptr ||
        table->count != 0) {
      __builtin_trap();
    }
    return 0;
  }
  size_t used = 0;
  if (table->count > vrk::kTokenTableMax ||
      vrk::token_file_compose(*table, {composed.get(), vrk::kTokenFileMaxBytes}, used) != 0 ||
      vrk::token_file_parse({composed.get(), used}, "fuzz", *again, err) != 0 ||
      !same_tables(*table, *again)) {
    __builtin_trap();
  }
  return 0;
}
