#include "common/text.h"

#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace vrk {
namespace {

TEST(TextCopy, RefusesWhatDoesNotFit) {
  char buf[4] = "zz";
  EXPECT_TRUE(text_copy(buf, "abc"));
  EXPECT_STREQ(buf, "abc");
  EXPECT_FALSE(text_copy(buf, "abcd"));
  EXPECT_STREQ(buf, "");
  EXPECT_TRUE(text_copy(buf, std::string_view()));  // no data pointer at all
  EXPECT_STREQ(buf, "");
  EXPECT_FALSE(text_copy(std::span<char>(), "a"));
}

TEST(TextCopyCut, CutsToTheBuffer) {
  char buf[4] = "zz";
  text_copy_cut(buf, "abcdef");
  EXPECT_STREQ(buf, "abc");
  text_copy_cut(buf, std::string_view());
  EXPECT_STREQ(buf, "");
  text_copy_cut(std::span<char>(), "a");  // accepted, nothing written
}

TEST(Utf8SequenceLength, LeadBytes) {
  struct Case {
    unsigned char b;
    size_t want;
  };
  const Case cases[] = {{'a', 1},  {0x7F, 1}, {0x80, 1}, {0xBF, 1}, {0xC3, 2}, {0xDF, 2},
                        {0xE2, 3}, {0xEF, 3}, {0xF0, 4}, {0xF4, 4}, {0xF8, 1}, {0xFF, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.b);
    EXPECT_EQ(utf8_sequence_length(c.b), c.want);
  }
}

TEST(Utf8SequenceLength, ValidSequences) {
  struct Case {
    std::string_view bytes;
    size_t want;
  };
  const Case cases[] = {
      {"", 0},
      {"a", 1},
      {std::string_view("\0", 1), 1},
      {"\x7F", 1},
      {"\x80", 0},
      {"\xC1\xBF", 0},  // overlong
      {"\xC2\x80", 2},
      {"\xC3", 0},
      {"\xC3"
       "A",
       0},
      {"\xDF\xBF", 2},
      {"\xE0\x9F\xBF", 0},  // overlong
      {"\xE0\xA0\x80", 3},
      {"\xED\x9F\xBF", 3},
      {"\xED\xA0\x80", 0},  // surrogate
      {"\xEF\xBF\xBF", 3},
      {"\xE2\x82", 0},
      {"\xF0\x8F\xBF\xBF", 0},  // overlong
      {"\xF0\x90\x80\x80", 4},
      {"\xF4\x8F\xBF\xBF", 4},
      {"\xF4\x90\x80\x80", 0},  // above U+10FFFF
      {"\xF5\x80\x80\x80", 0},
      {"\xF0\x9F\x98"
       "A",
       0},
      {"\xF0\x9F\x98\x80tail", 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.bytes)));
    EXPECT_EQ(utf8_sequence_length(reinterpret_cast<const unsigned char*>(c.bytes.data()),
                                   c.bytes.size()),
              c.want);
  }
}

TEST(TextTrim, AllSixSpaces) {
  EXPECT_EQ(text_trim(" \t\n\v\f\rx y\r\n"), "x y");
  EXPECT_EQ(text_trim(" \t "), "");
  EXPECT_EQ(text_trim(""), "");
}

TEST(TextForEachItem, SkipsEmptyItemsAndStopsOnError) {
  struct Case {
    std::string input;
    std::string want;
  };
  const Case cases[] = {
      {"", ""},
      {",,", ""},
      {"a", "[a]"},
      {"a,,b", "[a][b]"},
      {" a , b ", "[a][b]"},
      {"a, ,b", "[a][][b]"},
      {",a,", "[a]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    std::string got;
    EXPECT_EQ(text_for_each_item(c.input,
                                 [&](std::string_view item) {
                                   got += "[" + std::string(item) + "]";
                                   return 0;
                                 }),
              0);
    EXPECT_EQ(got, c.want);
  }
  int calls = 0;
  EXPECT_EQ(text_for_each_item("a,b,c", [&](std::string_view) { return ++calls == 2 ? -5 : 0; }),
            -5);
  EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace vrk
