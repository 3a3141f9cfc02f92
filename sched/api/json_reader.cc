#include "sched/api/json_reader.h"

#include <errno.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <charconv>
#include <new>

#include "common/error.h"

namespace vrk {
namespace {

constexpr size_t kInitialItems = 8;
constexpr size_t kInitialString = 32;

struct JsonParser {
  const char* start = nullptr;
  const char* pos = nullptr;
  const char* end = nullptr;
  int depth = 0;
  int max_depth = 0;
  size_t values = 0;
  size_t max_values = 0;
  std::span<char> err;
};

// Every failure goes through here: the reason and the offset of p (the parser's position).
bool fail_at(JsonParser& p, const char* reason, const char* at) {
  err_set(p.err, "%s at byte %zu", reason, static_cast<size_t>(at - p.start));
  return false;
}

bool fail(JsonParser& p, const char* reason) {
  return fail_at(p, reason, p.pos);
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

void skip_space(JsonParser& p) {
  while (p.pos < p.end && is_space(*p.pos)) {
    ++p.pos;
  }
}

bool count_value(JsonParser& p, const char* at) {
  if (++p.values > p.max_values) {
    return fail_at(p, "too many values", at);
  }
  return true;
}

// Appends a fresh null node to the container, so the root owns it even if parsing it fails.
// Element arrays start at 8 and double.
JsonValue* append_node(JsonParser& p, JsonValue& parent) {
  try {
    if (parent.items.size() == parent.items.capacity()) {
      parent.items.reserve(parent.items.empty() ? kInitialItems : parent.items.capacity() * 2);
    }
    JsonValue* node = new JsonValue;
    parent.items.push_back(node);
    return node;
  } catch (const std::bad_alloc&) {
    fail(p, "out of memory");
    return nullptr;
  }
}

// Appends bytes to a string under construction; the buffer starts at 32 and doubles.
bool string_append(JsonParser& p, std::string& s, const char* bytes, size_t n, const char* at) {
  if (s.size() + n + 1 > kJsonStringSize) {
    return fail_at(p, "string too long", at);
  }
  try {
    if (s.size() + n + 1 > s.capacity()) {
      size_t want = s.capacity() < kInitialString ? kInitialString : s.capacity() + 1;
      while (want < s.size() + n + 1) {
        want *= 2;
      }
      s.reserve(want - 1);
    }
    s.append(bytes, n);
  } catch (const std::bad_alloc&) {
    return fail_at(p, "out of memory", at);
  }
  return true;
}

int hex_value(char c) {
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

// Reads the four hex digits after "\u" at p.pos; -1 with the position at the first bad one.
long read_hex4(JsonParser& p) {
  long code = 0;
  for (int i = 0; i < 4; ++i) {
    int v = p.pos < p.end ? hex_value(*p.pos) : -1;
    if (v < 0) {
      return -1;
    }
    code = code * 16 + v;
    ++p.pos;
  }
  return code;
}

size_t utf8_encode(long code, char (&out)[4]) {
  if (code < 0x80) {
    out[0] = static_cast<char>(code);
    return 1;
  }
  if (code < 0x800) {
    out[0] = static_cast<char>(0xC0 | (code >> 6));
    out[1] = static_cast<char>(0x80 | (code & 0x3F));
    return 2;
  }
  if (code < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (code >> 12));
    out[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (code & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (code >> 18));
  out[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (code & 0x3F));
  return 4;
}

// Escape after a backslash (p.pos at the byte after it), decoded into s.
//   escape := ["/\bfnrt] | "u" hex4 | "u" high-hex4 "\u" low-hex4
bool read_escape(JsonParser& p, std::string& s, const char* at) {
  if (p.pos >= p.end) {
    return fail(p, "bad escape");
  }
  char simple = 0;
  switch (*p.pos) {
    case '"':
    case '\\':
    case '/':
      simple = *p.pos;
      break;
    case 'b':
      simple = '\b';
      break;
    case 'f':
      simple = '\f';
      break;
    case 'n':
      simple = '\n';
      break;
    case 'r':
      simple = '\r';
      break;
    case 't':
      simple = '\t';
      break;
    case 'u':
      break;
    default:
      return fail(p, "bad escape");
  }
  if (simple != 0) {
    ++p.pos;
    return string_append(p, s, &simple, 1, at);
  }
  ++p.pos;
  long code = read_hex4(p);
  if (code < 0) {
    return fail(p, "bad \\u escape");
  }
  if (code == 0) {
    return fail(p, "NUL in string");
  }
  if (code >= 0xDC00 && code <= 0xDFFF) {
    return fail(p, "lone surrogate");
  }
  if (code >= 0xD800 && code <= 0xDBFF) {
    const char* pair = p.pos;
    if (p.end - p.pos < 2 || p.pos[0] != '\\' || p.pos[1] != 'u') {
      return fail(p, "bad surrogate pair");
    }
    p.pos += 2;
    long low = read_hex4(p);
    if (low < 0xDC00 || low > 0xDFFF) {
      return fail_at(p, "bad surrogate pair", pair);
    }
    code = 0x10000 + (code - 0xD800) * 1024 + (low - 0xDC00);
  }
  char utf8[4];
  size_t n = utf8_encode(code, utf8);
  return string_append(p, s, utf8, n, at);
}

// String body after the opening quote, up to and including the closing quote. Bytes of 0x80
// and above pass unchanged; runs of plain bytes are copied at once.
bool read_string(JsonParser& p, std::string& s) {
  for (;;) {
    const char* run = p.pos;
    while (p.pos < p.end) {
      unsigned char c = static_cast<unsigned char>(*p.pos);
      if (c == '"' || c == '\\' || c < 0x20) {
        break;
      }
      ++p.pos;
    }
    size_t n = static_cast<size_t>(p.pos - run);
    if (s.size() + n + 1 > kJsonStringSize) {
      return fail_at(p, "string too long", run + (kJsonStringSize - 1 - s.size()));
    }
    if (n > 0 && !string_append(p, s, run, n, run)) {
      return false;
    }
    if (p.pos >= p.end) {
      return fail(p, "unterminated string");
    }
    unsigned char c = static_cast<unsigned char>(*p.pos);
    if (c == '"') {
      ++p.pos;
      return true;
    }
    if (c < 0x20) {
      return fail(p, "control character in string");
    }
    const char* at = p.pos;
    ++p.pos;
    if (!read_escape(p, s, at)) {
      return false;
    }
  }
}

// number := "-"? ("0" | [1-9][0-9]*) ("." [0-9]+)? ([eE] [+-]? [0-9]+)?
bool read_number(JsonParser& p, JsonValue& v) {
  const char* begin = p.pos;
  if (*p.pos == '-') {
    ++p.pos;
  }
  if (p.pos >= p.end || !is_digit(*p.pos)) {
    return fail(p, "bad number");
  }
  if (*p.pos == '0') {
    ++p.pos;
    if (p.pos < p.end && is_digit(*p.pos)) {
      return fail(p, "leading zero in number");
    }
  } else {
    while (p.pos < p.end && is_digit(*p.pos)) {
      ++p.pos;
    }
  }
  bool plain = true;
  if (p.pos < p.end && *p.pos == '.') {
    plain = false;
    ++p.pos;
    if (p.pos >= p.end || !is_digit(*p.pos)) {
      return fail(p, "bad number");
    }
    while (p.pos < p.end && is_digit(*p.pos)) {
      ++p.pos;
    }
  }
  if (p.pos < p.end && (*p.pos == 'e' || *p.pos == 'E')) {
    plain = false;
    ++p.pos;
    if (p.pos < p.end && (*p.pos == '+' || *p.pos == '-')) {
      ++p.pos;
    }
    if (p.pos >= p.end || !is_digit(*p.pos)) {
      return fail(p, "bad number");
    }
    while (p.pos < p.end && is_digit(*p.pos)) {
      ++p.pos;
    }
  }
  size_t len = static_cast<size_t>(p.pos - begin);
  if (len > kJsonNumberMaxLength) {
    return fail(p, "number too long");
  }
  if (!count_value(p, p.pos)) {
    return false;
  }
  // strtod needs a terminated text; the grammar above leaves no room for locale-specific forms.
  char buf[kJsonNumberMaxLength + 1];
  memcpy(buf, begin, len);
  buf[len] = '\0';
  errno = 0;
  double real = strtod(buf, nullptr);
  if (errno == ERANGE || !isfinite(real)) {
    return fail(p, "number out of range");
  }
  v.type = JsonType::kNumber;
  v.real = real;
  if (plain) {
    int64_t integer = 0;
    auto [ptr, ec] = std::from_chars(begin, p.pos, integer);
    if (ec == std::errc() && ptr == p.pos) {
      v.is_integer = 1;
      v.integer = integer;
    }
  }
  return true;
}

bool match_word(JsonParser& p, std::string_view word) {
  if (static_cast<size_t>(p.end - p.pos) < word.size() ||
      memcmp(p.pos, word.data(), word.size()) != 0) {
    return fail(p, "unexpected character");
  }
  p.pos += word.size();
  return count_value(p, p.pos);
}

bool read_value(JsonParser& p, JsonValue& v);

// Opens a container at p.pos (its bracket): depth and value count, then past the bracket.
bool open_container(JsonParser& p) {
  if (++p.depth > p.max_depth) {
    return fail(p, "nesting too deep");
  }
  if (!count_value(p, p.pos)) {
    return false;
  }
  ++p.pos;
  skip_space(p);
  return true;
}

// object := "{" ws ( "}" | member ( "," member )* "}" );  member := ws string ws ":" value ws
bool read_object(JsonParser& p, JsonValue& v) {
  v.type = JsonType::kObject;
  if (!open_container(p)) {
    return false;
  }
  if (p.pos < p.end && *p.pos == '}') {
    ++p.pos;
    --p.depth;
    return true;
  }
  for (;;) {
    skip_space(p);
    if (p.pos >= p.end || *p.pos != '"') {
      return fail(p, "expected a string key");
    }
    ++p.pos;
    std::string key;
    if (!read_string(p, key)) {
      return false;
    }
    skip_space(p);
    if (p.pos >= p.end || *p.pos != ':') {
      return fail(p, "expected :");
    }
    ++p.pos;
    JsonValue* item = append_node(p, v);
    if (item == nullptr || !read_value(p, *item)) {
      return false;
    }
    for (const std::string& seen : v.keys) {
      if (seen == key) {
        return fail(p, "duplicate key");
      }
    }
    try {
      if (v.keys.size() == v.keys.capacity()) {
        v.keys.reserve(v.keys.empty() ? kInitialItems : v.keys.capacity() * 2);
      }
      v.keys.push_back(std::move(key));
    } catch (const std::bad_alloc&) {
      return fail(p, "out of memory");
    }
    skip_space(p);
    if (p.pos >= p.end) {
      return fail(p, "unterminated object");
    }
    if (*p.pos == ',') {
      ++p.pos;
      continue;
    }
    if (*p.pos == '}') {
      ++p.pos;
      --p.depth;
      return true;
    }
    return fail(p, "expected , or }");
  }
}

// array := "[" ws ( "]" | value ( "," value )* ws "]" )
bool read_array(JsonParser& p, JsonValue& v) {
  v.type = JsonType::kArray;
  if (!open_container(p)) {
    return false;
  }
  if (p.pos < p.end && *p.pos == ']') {
    ++p.pos;
    --p.depth;
    return true;
  }
  for (;;) {
    JsonValue* item = append_node(p, v);
    if (item == nullptr || !read_value(p, *item)) {
      return false;
    }
    skip_space(p);
    if (p.pos >= p.end) {
      return fail(p, "unterminated array");
    }
    if (*p.pos == ',') {
      ++p.pos;
      continue;
    }
    if (*p.pos == ']') {
      ++p.pos;
      --p.depth;
      return true;
    }
    return fail(p, "expected , or ]");
  }
}

// Fills v, a node its parent (or json_parse) already owns.
bool read_value(JsonParser& p, JsonValue& v) {
  skip_space(p);
  if (p.pos >= p.end) {
    return fail(p, "unexpected end");
  }
  switch (*p.pos) {
    case '{':
      return read_object(p, v);
    case '[':
      return read_array(p, v);
    case '"':
      ++p.pos;
      v.type = JsonType::kString;
      return read_string(p, v.text) && count_value(p, p.pos);
    case 't':
      v.type = JsonType::kBool;
      v.boolean = 1;
      return match_word(p, "true");
    case 'f':
      v.type = JsonType::kBool;
      return match_word(p, "false");
    case 'n':
      return match_word(p, "null");
    default:
      if (*p.pos == '-' || is_digit(*p.pos)) {
        return read_number(p, v);
      }
      return fail(p, "unexpected character");
  }
}

}  // namespace

int json_parse(std::string_view text, size_t max_size, int max_depth, size_t max_values,
               JsonValue*& root, std::span<char> err) {
  root = nullptr;
  if (!err.empty()) {
    err[0] = '\0';
  }
  if (text.size() > max_size) {
    err_set(err, "document too large");
    return -1;
  }
  JsonParser p;
  p.start = text.data();
  p.pos = text.data();
  p.end = text.data() + text.size();
  p.max_depth = max_depth;
  p.max_values = max_values;
  p.err = err;
  JsonValue* tree = nullptr;
  try {
    tree = new JsonValue;
  } catch (const std::bad_alloc&) {
    fail(p, "out of memory");
    return -1;
  }
  bool ok = read_value(p, *tree);
  if (ok) {
    skip_space(p);
    if (p.pos < p.end) {
      ok = fail(p, "unexpected data after the document");
    }
  }
  if (!ok) {
    json_value_free(tree);
    return -1;
  }
  root = tree;
  return 0;
}

void json_value_free(JsonValue* root) {
  if (root == nullptr) {
    return;
  }
  for (JsonValue* item : root->items) {
    json_value_free(item);
  }
  delete root;
}

JsonType json_type_of(const JsonValue* value) {
  return value == nullptr ? JsonType::kNull : value->type;
}

const JsonValue* json_object_find(const JsonValue* value, std::string_view key) {
  if (json_type_of(value) != JsonType::kObject) {
    return nullptr;
  }
  for (size_t i = 0; i < value->keys.size(); ++i) {
    if (value->keys[i] == key) {
      return value->items[i];
    }
  }
  return nullptr;
}

const char* json_as_string(const JsonValue* value) {
  return json_type_of(value) == JsonType::kString ? value->text.c_str() : nullptr;
}

int json_as_integer(const JsonValue* value, int64_t& out) {
  if (json_type_of(value) != JsonType::kNumber || value->is_integer == 0) {
    return 0;
  }
  out = value->integer;
  return 1;
}

int json_as_bool(const JsonValue* value, int& out) {
  if (json_type_of(value) != JsonType::kBool) {
    return 0;
  }
  out = value->boolean != 0 ? 1 : 0;
  return 1;
}

size_t json_array_length(const JsonValue* value) {
  return json_type_of(value) == JsonType::kArray ? value->items.size() : 0;
}

const JsonValue* json_array_item(const JsonValue* value, size_t index) {
  return index < json_array_length(value) ? value->items[index] : nullptr;
}

size_t json_object_length(const JsonValue* value) {
  return json_type_of(value) == JsonType::kObject ? value->keys.size() : 0;
}

const char* json_object_key(const JsonValue* value, size_t index) {
  return index < json_object_length(value) ? value->keys[index].c_str() : nullptr;
}

const JsonValue* json_object_item(const JsonValue* value, size_t index) {
  return index < json_object_length(value) ? value->items[index] : nullptr;
}

}  // namespace vrk
