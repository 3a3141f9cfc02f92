#include "common/cli.h"

#include <string.h>

#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_argv.h"

namespace vrk {
namespace {

TEST(CliValue, LookupRules) {
  struct Case {
    std::initializer_list<const char*> words;
    const char* want;
  };
  const Case cases[] = {
      {{"p"}, "def"},
      {{"p", "--config"}, "def"},  // no next word
      {{"p", "--config", "a"}, "a"},
      {{"p", "--config=a"}, "a"},
      {{"p", "--config="}, ""},
      {{"p", "--config", "--queue"}, "--queue"},  // whatever the next word begins with
      {{"p", "--config", "a", "--config", "b"}, "a"},
      {{"p", "--config=b", "--config", "a"}, "b"},
      {{"p", "--configx", "a"}, "def"},
      {{"p", "--configx=a"}, "def"},
      {{"p", "x", "--config", "a"}, "a"},
  };
  for (const Case& c : cases) {
    TestArgv a(c.words);
    SCOPED_TRACE(a.store.back());
    EXPECT_STREQ(cli_value(a.argc(), a.argv(), "--config", "def"), c.want);
  }
}

TEST(CliFlag, ExactWordsOnly) {
  TestArgv a({"p", "--forced", "--force=1", "x"});
  EXPECT_FALSE(cli_flag(a.argc(), a.argv(), "--force"));
  TestArgv b({"p", "x", "--force"});
  EXPECT_TRUE(cli_flag(b.argc(), b.argv(), "--force"));
  TestArgv c({"--force"});  // argv[0] is never looked at
  EXPECT_FALSE(cli_flag(c.argc(), c.argv(), "--force"));
}

TEST(CliCheck, CountsWarnings) {
  const CliOption table[] = {{"--config", nullptr, true}, {"--force", nullptr, false}, {}};
  struct Case {
    std::initializer_list<const char*> words;
    int want;
  };
  const Case cases[] = {
      {{"p"}, 0},
      {{"p", "run"}, 0},
      {{"p", "run", "job"}, 0},
      {{"p", "run", "job", "extra"}, 1},
      {{"p", "run", "--config", "c", "job"}, 0},
      {{"p", "run", "--config=c", "job"}, 0},
      {{"p", "run", "--config"}, 0},  // value missing: the pass ends
      {{"p", "run", "--force", "job"}, 0},
      {{"p", "run", "--force=1"}, 1},  // flags take no value
      {{"p", "run", "-h", "--version", "--selftest"}, 0},
      {{"p", "run", "--x", "v", "job"}, 1},  // v is consumed with --x, not positional
      {{"p", "run", "--x=v", "job", "more"}, 2},
      {{"p", "run", "--x", "--y"}, 2},
      {{"p", "run", "--", "--x", "a", "b"}, 0},
      {{"p", "run", "-", "a"}, 1},
  };
  for (const Case& c : cases) {
    TestArgv a(c.words);
    SCOPED_TRACE(testing::PrintToString(a.store));
    EXPECT_EQ(cli_check(a.argc(), a.argv(), table, 2), c.want);
  }
}

}  // namespace
}  // namespace vrk
