#include "sched/api/json_reader.h"

#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace vrk {
namespace {

// Parses with the API's limits; returns the message ("" on success) and keeps the tree.
struct Parsed {
  int rc = 0;
  std::string err;
  JsonValue* root = nullptr;
  ~Parsed() { json_value_free(root); }
};

void parse_api(std::string_view text, Parsed& out) {
  char err[kApiJsonErrSize];
  out.rc = json_parse(text, kApiJsonMaxSize, kApiJsonMaxDepth, kApiJsonMaxValues, out.root, err);
  out.err = err;
}

TEST(JsonParse, ErrorTextsAndOffsets) {
  struct Case {
    std::string input;
    const char* want;
  };
  const Case cases[] = {
      {"", "unexpected end at byte 0"},
      {" \t\r\n", "unexpected end at byte 4"},
      {"[", "unexpected end at byte 1"},
      {"[[[[[]]]]]", "nesting too deep at byte 4"},
      {"{\"a\":{\"b\":{\"c\":{\"d\":{}}}}}", "nesting too deep at byte 20"},
      {"{\"a\":1,\"a\":2}", "duplicate key at byte 12"},
      {"{\"a\":1,\"\\u0061\":2}", "duplicate key at byte 17"},
      {"{1:2}", "expected a string key at byte 1"},
      {"{\"a\":1,}", "expected a string key at byte 7"},
      {"{\"a\" 1}", "expected : at byte 5"},
      {"{\"a\":1", "unterminated object at byte 6"},
      {"{\"a\":1 2}", "expected , or } at byte 7"},
      {"[1", "unterminated array at byte 2"},
      {"[1 2]", "expected , or ] at byte 3"},
      {"[1,]", "unexpected character at byte 3"},
      {"[truex]", "expected , or ] at byte 5"},
      {"tru", "unexpected character at byte 0"},
      {"nul", "unexpected character at byte 0"},
      {"x", "unexpected character at byte 0"},
      {"\"abc", "unterminated string at byte 4"},
      {"\"a\tb\"", "control character in string at byte 2"},
      {"\"\\x\"", "bad escape at byte 2"},
      {"\"\\", "bad escape at byte 2"},
      {"\"\\u12g4\"", "bad \\u escape at byte 5"},
      {"\"\\u12", "bad \\u escape at byte 5"},
      {"\"\\u0000\"", "NUL in string at byte 7"},
      {"\"\\ude00\"", "lone surrogate at byte 7"},
      {"\"\\ud83d\"", "bad surrogate pair at byte 7"},
      {"\"\\ud83dx\"", "bad surrogate pair at byte 7"},
      {"\"\\ud83d\\u0041\"", "bad surrogate pair at byte 7"},
      {"01", "leading zero in number at byte 1"},
      {"-01", "leading zero in number at byte 2"},
      {"-", "bad number at byte 1"},
      {"-a", "bad number at byte 1"},
      {"1.", "bad number at byte 2"},
      {"1.e5", "bad number at byte 2"},
      {"1e", "bad number at byte 2"},
      {"1e+", "bad number at byte 3"},
      {std::string(41, '1'), "number too long at byte 41"},
      {"1e400", "number out of range at byte 5"},
      {"-1e400", "number out of range at byte 6"},
      {"1e-400", "number out of range at byte 6"},
      {"{} x", "unexpected data after the document at byte 3"},
      {"1 2", "unexpected data after the document at byte 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 60));
    Parsed got;
    parse_api(c.input, got);
    EXPECT_EQ(got.rc, -1);
    EXPECT_EQ(got.root, nullptr);
    EXPECT_EQ(got.err, c.want);
  }
}

TEST(JsonParse, Limits) {
  Parsed four;
  parse_api("[[[[]]]]", four);
  EXPECT_EQ(four.rc, 0) << four.err;

  std::string big(kApiJsonMaxSize + 1, ' ');
  big[0] = '1';
  Parsed too_big;
  parse_api(big, too_big);
  EXPECT_EQ(too_big.err, "document too large");
  big.pop_back();
  Parsed at_limit;
  parse_api(big, at_limit);
  EXPECT_EQ(at_limit.rc, 0) << at_limit.err;

  // The root array is one value, so 511 elements fill the 512.
  auto array_of = [](int n) {
    std::string s = "[";
    for (int i = 0; i < n; ++i) {
      s += i == 0 ? "0" : ",0";
    }
    return s + "]";
  };
  Parsed full;
  parse_api(array_of(511), full);
  EXPECT_EQ(full.rc, 0) << full.err;
  Parsed over;
  parse_api(array_of(512), over);
  EXPECT_EQ(over.err, "too many values at byte 1024");
  std::string strings = "[";
  for (int i = 0; i < 511; ++i) {
    strings += "1,";
  }
  Parsed over_string;
  parse_api(strings + "\"s\"]", over_string);
  EXPECT_EQ(over_string.err, "too many values at byte 1026");
  Parsed over_object;
  parse_api(strings + "{}]", over_object);
  EXPECT_EQ(over_object.err, "too many values at byte 1023");

  // Keys do not count as values; 65535 decoded bytes is the longest string.
  Parsed keys;
  parse_api("{\"a\":1,\"b\":2}", keys);
  EXPECT_EQ(keys.rc, 0);
  char err[64];
  JsonValue* root = nullptr;
  std::string longest = "\"" + std::string(65535, 'a') + "\"";
  ASSERT_EQ(json_parse(longest, longest.size(), 1, 1, root, err), 0) << err;
  EXPECT_EQ(root->text.size(), 65535u);
  json_value_free(root);
  std::string too_long = "\"" + std::string(65536, 'a') + "\"";
  EXPECT_EQ(json_parse(too_long, too_long.size(), 1, 1, root, err), -1);
  EXPECT_STREQ(err, "string too long at byte 65536");
  // A one-byte escape that would cross the limit is refused where it starts.
  std::string escaped = "\"" + std::string(65535, 'a') + "\\n\"";
  EXPECT_EQ(json_parse(escaped, escaped.size(), 1, 1, root, err), -1);
  EXPECT_STREQ(err, "string too long at byte 65536");
}

TEST(JsonParse, SilentWithoutErrorBuffer) {
  JsonValue* root = reinterpret_cast<JsonValue*>(1);
  EXPECT_EQ(json_parse("[", 10, 4, 10, root, {}), -1);
  EXPECT_EQ(root, nullptr);
  char err[8] = "x";
  EXPECT_EQ(json_parse("[", 10, 4, 10, root, err), -1);
  EXPECT_STREQ(err, "unexpec");  // cut to the buffer
}

TEST(JsonParse, Numbers) {
  struct Case {
    const char* input;
    uint32_t is_integer;
    int64_t integer;
    double real;
  };
  const Case cases[] = {
      {"0", 1, 0, 0},
      {"-0", 1, 0, -0.0},
      {"42", 1, 42, 42},
      {"9223372036854775807", 1, INT64_MAX, 9223372036854775807.0},
      {"-9223372036854775808", 1, INT64_MIN, -9223372036854775808.0},
      {"9223372036854775808", 0, 0, 9223372036854775808.0},
      {"1.5", 0, 0, 1.5},
      {"1e2", 0, 0, 100},
      {"2E-1", 0, 0, 0.2},
      {"1.0", 0, 0, 1},
      {"1111111111111111111111111111111111111111", 0, 0, 1.1111111111111111e39},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    Parsed got;
    parse_api(c.input, got);
    ASSERT_EQ(got.rc, 0) << got.err;
    EXPECT_EQ(json_type_of(got.root), JsonType::kNumber);
    EXPECT_EQ(got.root->is_integer, c.is_integer);
    EXPECT_DOUBLE_EQ(got.root->real, c.real);
    int64_t v = -7;
    EXPECT_EQ(json_as_integer(got.root, v), c.is_integer != 0 ? 1 : 0);
    if (c.is_integer != 0) {
      EXPECT_EQ(v, c.integer);
    }
  }
}

TEST(JsonParse, Strings) {
  struct Case {
    std::string input;
    std::string want;
  };
  const Case cases[] = {
      {"\"\\ud83d\\ude00\"", "\xF0\x9F\x98\x80"},
      {"\"\\u00e9\\u20AC\\u0041\"",
       "\xC3\xA9\xE2\x82\xAC"
       "A"},
      {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\\/\b\f\n\r\t"},
      {"\"a\xFF"
       "b\"",
       "a\xFF"
       "b"},
      {"\"\"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    Parsed got;
    parse_api(c.input, got);
    ASSERT_EQ(got.rc, 0) << got.err;
    ASSERT_NE(json_as_string(got.root), nullptr);
    EXPECT_EQ(got.root->text, c.want);
  }
}

TEST(JsonParse, TreeAndAccessors) {
  Parsed got;
  parse_api(" {\"a\" : [1, true, false, null, \"x\"], \"b\": {} } \r\n", got);
  ASSERT_EQ(got.rc, 0) << got.err;
  const JsonValue* root = got.root;
  EXPECT_EQ(json_type_of(root), JsonType::kObject);
  EXPECT_EQ(json_object_length(root), 2u);
  EXPECT_STREQ(json_object_key(root, 0), "a");
  EXPECT_STREQ(json_object_key(root, 1), "b");
  EXPECT_EQ(json_object_key(root, 2), nullptr);
  EXPECT_EQ(json_object_item(root, 2), nullptr);
  const JsonValue* a = json_object_find(root, "a");
  ASSERT_EQ(a, json_object_item(root, 0));
  EXPECT_EQ(json_object_find(root, "c"), nullptr);
  EXPECT_EQ(json_object_find(a, "a"), nullptr);
  EXPECT_EQ(json_array_length(a), 5u);
  EXPECT_EQ(json_array_length(root), 0u);
  EXPECT_EQ(json_array_item(a, 5), nullptr);
  int flag = -1;
  EXPECT_EQ(json_as_bool(json_array_item(a, 1), flag), 1);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(json_as_bool(json_array_item(a, 2), flag), 1);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(json_as_bool(json_array_item(a, 0), flag), 0);
  EXPECT_EQ(json_type_of(json_array_item(a, 3)), JsonType::kNull);
  EXPECT_STREQ(json_as_string(json_array_item(a, 4)), "x");
  EXPECT_EQ(json_as_string(json_array_item(a, 0)), nullptr);
  int64_t n = 0;
  EXPECT_EQ(json_as_integer(json_array_item(a, 4), n), 0);
  EXPECT_EQ(json_type_of(nullptr), JsonType::kNull);
  EXPECT_EQ(json_object_length(json_object_find(root, "b")), 0u);
  json_value_free(nullptr);
}

}  // namespace
}  // namespace vrk
