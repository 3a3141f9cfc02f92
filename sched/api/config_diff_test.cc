#include "sched/api/config_diff.h"

#include <string>

#include <gtest/gtest.h>

namespace vrk {
namespace {

std::string diff(const std::string& a, const std::string& b, size_t size = kConfigDiffSize) {
  std::string out(size, 'X');
  size_t n = config_diff_lines(a, b, std::span<char>(out.data(), out.size()));
  EXPECT_EQ(out[n], '\0');
  return out.substr(0, n);
}

std::string numbered(int from, int to) {
  std::string text;
  for (int i = from; i < to; ++i) {
    text += "line " + std::to_string(i) + "\n";
  }
  return text;
}

TEST(ConfigDiffLines, Table) {
  struct Case {
    const char* what;
    std::string old_text;
    std::string new_text;
    std::string want;
  };
  const Case cases[] = {
      {"both empty", "", "", ""},
      {"identical", "a\nb\n", "a\nb\n", ""},
      {"changed line 3: added first", "x\ny\na = 1\nz\n", "x\ny\na = 2\nz\n",
       "+3: a = 2\n-    a = 1\n"},
      {"from nothing", "", "a\nb", "+1: a\n+2: b\n"},
      {"to nothing", "a\nb\n", "", "-    a\n-    b\n"},
      {"a missing final line feed is no change", "a\nb", "a\nb\n", ""},
      {"a final line feed adds no empty line", "a\n", "a\n\n", "+2: \n"},
      {"added in the middle", "a\nc\n", "a\nb\nc\n", "+2: b\n"},
      {"removed in the middle", "a\nb\nc\n", "a\nc\n", "-    b\n"},
      {"lines compare by length and bytes", "ab\n", "ab \n", "+1: ab \n-    ab\n"},
      {"tie: added lines first", "a\nb\n", "b\na\n", "+1: b\n-    b\n"},
      {"password masked on both sides", "[mail]\n  smtp-password = old secret\nfrom = a@b\n",
       "[mail]\nsmtp-password\t= \"new secret\"\nfrom = a@b\n",
       "+2: smtp-password=***\n-    smtp-password=***\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(diff(c.old_text, c.new_text), c.want);
  }
}

TEST(ConfigDiffLines, TwoThousandLinesGetNoDiff) {
  const std::string limit = numbered(0, 1998);
  const std::string over = numbered(0, 2000);
  EXPECT_EQ(diff(limit, limit + "extra"), "+1999: extra\n");
  EXPECT_EQ(diff(over, "a\n"), "(file too long for a line diff)\n");
  EXPECT_EQ(diff("a\n", over), "(file too long for a line diff)\n");
}

TEST(ConfigDiffLines, CutBeforeTheFirstLineThatDoesNotFit) {
  // 1000 added lines of 50 bytes each (with "+n: " and the line feed) are more than 40960.
  std::string text;
  std::string want;
  for (int i = 1; i <= 1000; ++i) {
    std::string line(50 - 2 - 1 - std::to_string(i).size() - 1, 'a' + i % 26);
    text += line + "\n";
    std::string out = "+" + std::to_string(i) + ": " + line + "\n";
    ASSERT_EQ(out.size(), 50u);
    if (want.size() + out.size() + 1 <= kConfigDiffSize) {
      want += out;
    }
  }
  std::string got = diff("", text);
  EXPECT_EQ(got.size(), 40950u);
  EXPECT_EQ(got, want);
  // A line that does not fit ends the diff even when later, shorter lines would fit.
  EXPECT_EQ(diff("", std::string(30, 'l') + "\nb\n", 36), "+1: " + std::string(30, 'l') + "\n");
  EXPECT_EQ(diff("", std::string(31, 'l') + "\nb\n", 36), "");
}

TEST(DiffMaskLine, Table) {
  struct Case {
    std::string line;
    std::string want;
  };
  const Case cases[] = {
      {"smtp-password = x", "smtp-password=***"},
      {"smtp-password=x", "smtp-password=***"},
      {" \tsmtp-password \t=", "smtp-password=***"},
      // The loader trims these as well, so it reads the password from such lines too.
      {"\vsmtp-password = x", "smtp-password=***"},
      {"\fsmtp-password\f= x", "smtp-password=***"},
      {"\rsmtp-password\r=x", "smtp-password=***"},
      {"smtp-password = file:/etc/vrk/pw  # comment", "smtp-password=***"},
      {"smtp-passwords = x", "smtp-passwords = x"},
      {"smtp-password x = y", "smtp-password x = y"},
      {"# smtp-password = x", "# smtp-password = x"},
      {"smtp-password", "smtp-password"},
      {"", ""},
      {std::string(1099, 'a'), std::string(1099, 'a')},
      {std::string(1100, 'a'), std::string(1099, 'a')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    char out[kDiffLineSize];
    size_t n = diff_mask_line(c.line.data(), c.line.size(), out);
    EXPECT_EQ(std::string(out, n), c.want);
    EXPECT_EQ(out[n], '\0');
  }
}

}  // namespace
}  // namespace vrk
