// Fuzz target: the raw-text work on server answers. For every document json_parse accepts, the
// indented text must parse again, and each top-level member found in the raw text must be the
// one json_object_find sees (same type and, for strings, same text).
// Names written with escapes are left out of the member check.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>

#include "client/json_text.h"
#include "sched/api/json_reader.h"

namespace {

constexpr size_t kMaxSize = 65536;
constexpr int kMaxDepth = 16;
constexpr size_t kMaxValues = 100000;

struct Tree {
  vrk::JsonValue* root = nullptr;
  ~Tree() { vrk::json_value_free(root); }
};

bool parse(std::string_view text, Tree& t) {
  char err[vrk::kApiJsonErrSize];
  return vrk::json_parse(text, kMaxSize * 4, kMaxDepth, kMaxValues, t.root, err) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxSize) {
    return 0;
  }
  std::string_view text(reinterpret_cast<const char*>(data), size);
  Tree doc;
  if (!parse(text, doc)) {
    return 0;
  }
  std::string pretty;
  vrk::json_text_pretty(text, pretty);
  Tree again;
  if (!parse(pretty, again) || vrk::json_type_of(again.root) != vrk::json_type_of(doc.root)) {
    __builtin_trap();
  }
  // Without escapes a name is written as it reads, so the raw lookup must find every member.
  if (text.find('\\') != std::string_view::npos) {
    return 0;
  }
  for (size_t i = 0; i < vrk::json_object_length(doc.root); ++i) {
    const char* key = vrk::json_object_key(doc.root, i);
    const vrk::JsonValue* want = vrk::json_object_find(doc.root, key);
    std::string_view raw;
    Tree member;
    if (!vrk::json_text_member(text, key, raw) || !parse(raw, member) ||
        vrk::json_type_of(member.root) != vrk::json_type_of(want)) {
      __builtin_trap();
    }
    const char* s = vrk::json_as_string(want);
    if (s != nullptr && member.root->text != want->text) {
      __builtin_trap();
    }
  }
  return 0;
}
