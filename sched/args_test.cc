#include "sched/args.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vrk {
namespace {

// Tokenizes text and returns the tokens (freed again), or the message on failure.
struct Split {
  int rc = 0;
  std::vector<std::string> tokens;
  std::string msg;
  bool all_null = true;  // every slot null after a failure
};

Split split(std::string_view text, int max_tokens = kArgsMaxTokens) {
  char* tokens[kArgsMaxTokens + 1] = {};
  char err[256];
  Split out;
  out.rc = args_tokenize(text, tokens, max_tokens, err);
  out.msg = err;
  for (int i = 0; i < out.rc; ++i) {
    out.tokens.emplace_back(tokens[i]);
  }
  if (out.rc > 0) {
    args_free(tokens, out.rc);
  }
  for (char* t : tokens) {
    out.all_null = out.all_null && t == nullptr;
  }
  return out;
}

std::string words(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) {
    s += " w" + std::to_string(i);
  }
  return s;
}

TEST(ArgsTokenize, Table) {
  const std::string max_token(kArgsTokenSize - 1, 'x');
  using V = std::vector<std::string>;
  struct Case {
    std::string input;
    int want_rc;
    V want;
    const char* want_msg;
  } cases[] = {
      {"", 0, {}, ""},
      {" \t\n\v\f\r ", 0, {}, ""},
      {"--verbose", 1, {"--verbose"}, ""},
      {"  --repo\t/srv/r\n", 2, {"--repo", "/srv/r"}, ""},
      {R"(--a "b \"c\" d")", 2, {"--a", R"(b "c" d)"}, ""},
      {R"("a"b)", 2, {"a", "b"}, ""},
      {R"("a""b")", 2, {"a", "b"}, ""},
      {R"("")", 1, {""}, ""},
      {R"("" "")", 2, {"", ""}, ""},
      {R"("x\\y" "\n" "\")", -1, {}, "unterminated quote in 'args'"},
      {R"("x\\y" "a\nb")", 2, {R"(x\y)", R"(a\nb)"}, ""},
      {R"(a"b c"d)", 2, {R"(a"b)", R"(c"d)"}, ""},
      {R"('a b')", 2, {"'a", "b'"}, ""},
      {R"(x\"y)", 1, {R"(x\"y)"}, ""},
      {"\"a\tb\nc\"", 1, {"a\tb\nc"}, ""},
      {R"(--a "b)", -1, {}, "unterminated quote in 'args'"},
      {R"(")", -1, {}, "unterminated quote in 'args'"},
      {R"("abc\")", -1, {}, "unterminated quote in 'args'"},
      {max_token, 1, {max_token}, ""},
      {"\"" + max_token + "\"", 1, {max_token}, ""},
      {"a " + max_token + "x", -1, {}, "token too long in 'args'"},
      {"a \"" + max_token + "x\"", -1, {}, "token too long in 'args'"},
      {words(kArgsMaxTokens) + "  ", kArgsMaxTokens, {}, ""},
      {words(kArgsMaxTokens + 1), -1, {}, "too many tokens in 'args'"},
      {words(kArgsMaxTokens) + " \"unterminated", -1, {}, "too many tokens in 'args'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.size() > 80 ? c.input.substr(0, 80) + "..." : c.input);
    Split got = split(c.input);
    EXPECT_EQ(got.rc, c.want_rc);
    EXPECT_EQ(got.msg, c.want_msg);
    if (c.want_rc > 0 && !c.want.empty()) {
      EXPECT_EQ(got.tokens, c.want);
    }
    if (c.want_rc < 0) {
      EXPECT_TRUE(got.all_null) << "tokens left behind";
    }
  }
}

TEST(ArgsTokenize, MaximumComesFromCaller) {
  EXPECT_EQ(split("a b", 2).rc, 2);
  Split over = split("a b c", 2);
  EXPECT_EQ(over.rc, -1);
  EXPECT_EQ(over.msg, "too many tokens in 'args'");
  EXPECT_TRUE(over.all_null);
  EXPECT_EQ(split("   ", 0).rc, 0);
  EXPECT_EQ(split("a", 0).rc, -1);
}

TEST(ArgsFree, NullsTheSlots) {
  char* tokens[kArgsMaxTokens] = {};
  char err[256];
  ASSERT_EQ(args_tokenize("a b c", tokens, kArgsMaxTokens, err), 3);
  args_free(tokens, 3);
  for (char* t : tokens) {
    EXPECT_EQ(t, nullptr);
  }
  args_free(tokens, 3);  // freeing nulls again is harmless
}

}  // namespace
}  // namespace vrk
