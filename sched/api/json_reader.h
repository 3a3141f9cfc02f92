// JsonValue: a parsed JSON document, one heap node per value. The root owns every node, text
// and array below it; json_value_free releases the whole tree. Duplicate keys, NUL in strings
// and anything beyond the caller's size, depth and value limits are refused.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vrk {

enum class JsonType : uint32_t {
  kNull = 0,
  kBool = 1,
  kNumber = 2,
  kString = 3,
  kArray = 4,
  kObject = 5,
};

// The API's limits for request bodies.
inline constexpr size_t kApiJsonMaxSize = 32768;
inline constexpr int kApiJsonMaxDepth = 4;
inline constexpr size_t kApiJsonMaxValues = 512;
inline constexpr size_t kApiJsonErrSize = 256;

// Longest decoded string is kJsonStringSize - 1 bytes; longest number text kJsonNumberMaxLength.
inline constexpr size_t kJsonStringSize = 65536;
inline constexpr size_t kJsonNumberMaxLength = 40;

struct JsonValue {
  JsonType type = JsonType::kNull;
  uint32_t boolean = 0;
  // Set when the number was written without fraction and exponent and fits int64_t.
  uint32_t is_integer = 0;
  int64_t integer = 0;
  double real = 0;
  std::string text;
  // Elements, or member values parallel to keys; both in document order.
  std::vector<JsonValue*> items;
  std::vector<std::string> keys;
};

// Parses text (at most max_size bytes) into a tree of at most max_values values nested at
// most max_depth containers deep. Returns 0 with root set, or -1 with root null and one
// message in err: "document too large", or "%s at byte %zu" with the reason and the offset
// where the parser stood. An empty err fails silently. The caller frees root with
// json_value_free.
// Requires: max_depth small enough for the stack (the parser recurses once per level).
[[nodiscard]] int json_parse(std::string_view text, size_t max_size, int max_depth,
                             size_t max_values, JsonValue*& root, std::span<char> err);

// Frees a tree from its root; null is accepted.
void json_value_free(JsonValue* root);

// The value's type; kNull for null.
JsonType json_type_of(const JsonValue* value);

// The value of the first member named key; null when value is no object or has no such member.
const JsonValue* json_object_find(const JsonValue* value, std::string_view key);

// The text of a string value; null for any other value.
const char* json_as_string(const JsonValue* value);

// 1 with out set when value is a number with the integer flag, else 0.
int json_as_integer(const JsonValue* value, int64_t& out);

// 1 with out set (0 or 1) when value is a boolean, else 0.
int json_as_bool(const JsonValue* value, int& out);

// Element count and element; 0 and null when value is no array or index is out of range.
size_t json_array_length(const JsonValue* value);
const JsonValue* json_array_item(const JsonValue* value, size_t index);

// Member count, name and value; 0 and null when value is no object or index is out of range.
size_t json_object_length(const JsonValue* value);
const char* json_object_key(const JsonValue* value, size_t index);
const JsonValue* json_object_item(const JsonValue* value, size_t index);

}  // namespace vrk
