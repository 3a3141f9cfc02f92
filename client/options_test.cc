#include "client/options.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vrk {
namespace {

constexpr const char* kBase[] = {"--url", "https://h:1", "--ca-file", "ca", "--token-file", "t"};

struct Parsed {
  int rc = 0;
  std::string err;
  ClientOptions options;
};

Parsed parse(std::vector<std::string> words, bool with_base = true) {
  std::vector<std::string> all = {"vrk_sched_client"};
  if (with_base) {
    all.insert(all.end(), std::begin(kBase), std::end(kBase));
  }
  all.insert(all.end(), words.begin(), words.end());
  static std::vector<std::string> keep;
  keep = all;
  std::vector<char*> argv;
  for (std::string& w : keep) {
    argv.push_back(w.data());
  }
  argv.push_back(nullptr);
  Parsed p;
  char err[kOptionsErrSize];
  p.rc = client_options_parse(static_cast<int>(keep.size()), argv.data(), p.options, err);
  p.err = err;
  return p;
}

constexpr const char* kBadIfMatch =
    "--if-match must be a config_etag as the server sent it (at most 128 bytes)";

TEST(ClientOptionsParse, UsageErrors) {
  struct Case {
    std::vector<std::string> words;
    bool with_base;
    std::string want_msg;
  };
  const Case cases[] = {
      {{}, true, "a command is required"},
      {{"list"}, true, "unknown command 'list'"},
      {{"info", "--verbose"}, true, "unknown option '--verbose'"},
      {{"info", "--token", "x"}, true, "unknown option '--token'"},
      {{"job"}, true, "usage: vrk_sched_client [options] job <name>"},
      {{"job", "a", "b"}, true, "usage: vrk_sched_client [options] job <name>"},
      {{"info", "x"}, true, "usage: vrk_sched_client [options] info"},
      {{"settings", "get", "api"},
       true,
       "usage: vrk_sched_client [options] settings get|put sched|mail"},
      {{"settings", "set", "sched"},
       true,
       "usage: vrk_sched_client [options] settings get|put sched|mail"},
      {{"jobs", "--follow"}, true, "--follow is only for log"},
      {{"jobs", "--if-match"}, true, "--if-match needs a value"},
      {{"jobs", "--file="}, true, "--file needs a value"},
      {{"jobs", "--follow=yes"}, true, "--follow takes no value"},
      {{"mail-test", "--wait-seconds", "0"}, true, "--wait-seconds must be 1..86400"},
      {{"delete", "a", "--if-match", " \"e\""}, true, kBadIfMatch},
      {{"delete", "a", "--if-match", "\"e\"\n"}, true, kBadIfMatch},
      {{"delete", "a", "--if-match", std::string(129, 'e')}, true, kBadIfMatch},
      {{"mail-test", "--wait-seconds", "86401"}, true, "--wait-seconds must be 1..86400"},
      {{"mail-test", "--wait-seconds", "5s"}, true, "--wait-seconds must be 1..86400"},
      {{"info", "--ca-file", "c", "--token-file", "t"},
       false,
       "--url https://<host>:<port> is required"},
      {{"info", "--url", "u", "--token-file", "t"},
       false,
       "exactly one of --ca-file and --fingerprint is required"},
      {{"info", "--url", "u", "--token-file", "t", "--ca-file", "c", "--fingerprint", "f"},
       false,
       "exactly one of --ca-file and --fingerprint is required"},
      {{"info", "--url", "u", "--ca-file", "c"},
       false,
       "--token-file is required (the token is never taken from the command line)"},
  };
  for (const Case& c : cases) {
    std::string trace;
    for (const std::string& w : c.words) {
      trace += w + " ";
    }
    SCOPED_TRACE(trace);
    Parsed p = parse(c.words, c.with_base);
    EXPECT_EQ(p.rc, -1);
    EXPECT_EQ(p.err, c.want_msg);
  }
}

TEST(ClientOptionsParse, ReadsOptionsAnywhere) {
  Parsed p = parse({"log", "--follow", "nightly", "--if-match=\"x\"", "--", "--odd-run"});
  ASSERT_EQ(p.rc, 0) << p.err;
  EXPECT_EQ(p.options.command->command, ClientCommand::kLog);
  EXPECT_TRUE(p.options.follow);
  EXPECT_STREQ(p.options.if_match, "\"x\"");
  EXPECT_STREQ(p.options.url, "https://h:1");
  ASSERT_EQ(p.options.word_count, 2);
  EXPECT_STREQ(p.options.words[0], "nightly");
  EXPECT_STREQ(p.options.words[1], "--odd-run");
  EXPECT_EQ(p.options.wait_seconds, kDefaultWaitSeconds);
  p = parse({"delete", "a", "--if-match", std::string(128, 'e')});
  EXPECT_EQ(p.rc, 0) << p.err;
  p = parse({"mail-test", "--wait-seconds=86400"});
  ASSERT_EQ(p.rc, 0) << p.err;
  EXPECT_EQ(p.options.wait_seconds, 86400);
}

TEST(ClientOptionsParse, HelpAndVersionNeedNothingElse) {
  for (const char* word : {"--help", "-h", "--version"}) {
    SCOPED_TRACE(word);
    Parsed p = parse({word}, false);
    EXPECT_EQ(p.rc, 0);
    EXPECT_TRUE(p.options.help || p.options.version);
  }
}

}  // namespace
}  // namespace vrk
