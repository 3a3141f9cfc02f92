#include "client/json_text.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vrk {
namespace {

TEST(JsonTextPretty, IndentsWithoutChangingTokens) {
  struct Case {
    std::string raw;
    std::string want;
  };
  const Case cases[] = {
      {"{}", "{}\n"},
      {" [ ] ", "[]\n"},
      {"5", "5\n"},
      {"{\"a\":1}", "{\n  \"a\": 1\n}\n"},
      {"{\"a\":[1,2.50e1,null],\"b\":{ },\"c\":[],\"d\":{\"e\":true}}",
       "{\n  \"a\": [\n    1,\n    2.50e1,\n    null\n  ],\n  \"b\": {},\n  \"c\": [],\n"
       "  \"d\": {\n    \"e\": true\n  }\n}\n"},
      // Punctuation and escapes inside strings are copied as they are.
      {"[\"x,{}[]:\\\"\\\\\",\"\\u00e9\"]", "[\n  \"x,{}[]:\\\"\\\\\",\n  \"\\u00e9\"\n]\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.raw);
    std::string out = "old";
    json_text_pretty(c.raw, out);
    EXPECT_EQ(out, c.want);
  }
}

TEST(JsonTextMember, FindsTopLevelMembersOnly) {
  const std::string raw =
      " {\"config_etag\" : \"\\\"e\\\"\", \"page\":{\"total\":9},\"s\":\"\\\"total\\\":1\","
      "\"total\":120,\"jobs\":[{\"name\":\"a\"}, 7 ,\"x]\"],\"next_offset\":null}";
  struct Case {
    std::string key;
    bool found;
    std::string value;
  };
  const Case cases[] = {
      {"config_etag", true, "\"\\\"e\\\"\""},
      {"total", true, "120"},
      {"jobs", true, "[{\"name\":\"a\"}, 7 ,\"x]\"]"},
      {"next_offset", true, "null"},
      {"name", false, ""},
      {"missing", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    std::string_view v;
    EXPECT_EQ(json_text_member(raw, c.key, v), c.found);
    if (c.found) {
      EXPECT_EQ(v, c.value);
    }
  }
  std::string_view v;
  EXPECT_FALSE(json_text_member("[1]", "a", v));
  std::vector<std::string_view> items;
  ASSERT_TRUE(json_text_member(raw, "jobs", v));
  ASSERT_TRUE(json_text_items(v, items));
  EXPECT_EQ(items, (std::vector<std::string_view>{"{\"name\":\"a\"}", "7", "\"x]\""}));
  EXPECT_TRUE(json_text_items(" [ ] ", items));
  EXPECT_TRUE(items.empty());
  EXPECT_FALSE(json_text_items("{}", items));
}

TEST(JsonTextPrependMember, PutsTheMemberFirst) {
  struct Case {
    std::string raw;
    std::string want;
  };
  const Case cases[] = {
      {"{}", "{\"name\":\"a b\"}"},
      {" { } ", "{\"name\":\"a b\" } "},
      {"\n{\"command\":\"agent\"}\n", "{\"name\":\"a b\",\"command\":\"agent\"}\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.raw);
    std::string out = "old";
    json_text_prepend_member(c.raw, "name", "a b", out);
    EXPECT_EQ(out, c.want);
  }
}

TEST(JsonTextQuote, EscapesQuotesBackslashesAndControls) {
  std::string out = "x";
  json_text_quote(std::string_view("a\"b\\c\n\x01\xc3\xa9", 9), out);
  EXPECT_EQ(out, "x\"a\\\"b\\\\c\\u000a\\u0001\xc3\xa9\"");
}

}  // namespace
}  // namespace vrk
