#include "sched/entry.h"

#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vrk {
namespace {

TEST(CommandSpecFind, TableOrderAndPositionals) {
  const char* names[] = {"daemon",   "list",      "validate", "mail-test", "api-init",
                         "api-info", "api-token", "run",      "start"};
  int i = 0;
  for (const CommandSpec* c = kCommandTable; c->name; ++c, ++i) {
    ASSERT_LT(i, 9);
    EXPECT_STREQ(c->name, names[i]);
    EXPECT_EQ(command_spec_find(names[i]), c);
    EXPECT_NE(c->handler, nullptr) << c->name;
  }
  EXPECT_EQ(i, 9);
  EXPECT_EQ(command_spec_find("api-token")->positional, 3);
  EXPECT_EQ(command_spec_find("run")->positional, 2);
  EXPECT_EQ(command_spec_find("start")->options, command_spec_find("run")->options);
  EXPECT_NE(command_spec_find("start")->handler, command_spec_find("run")->handler);
  EXPECT_EQ(command_spec_find("Daemon"), nullptr);
}

class CommandDispatch : public testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = testing::TempDir() + "vrk_entry_XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    ASSERT_NE(mkdtemp(buf.data()), nullptr);
    dir_ = buf.data();
    good_ = dir_ + "/good.cfg";
    FILE* f = fopen(good_.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("[a]\nschedule = * * * * *\n", f);
    fclose(f);
  }
  void TearDown() override {
    // run installs its own stop handlers in this process.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    nftw(
        dir_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); },
        16, FTW_DEPTH | FTW_PHYS);
  }
  std::string dir_;
  std::string good_;
};

// Each row reaches its own command: what a command does with a missing or good configuration
// tells them apart (run and start differ in how they report an unknown job).
TEST_F(CommandDispatch, EachRowReachesItsCommand) {
  struct Case {
    std::vector<const char*> words;  // after the program name
    bool good_config;
    int want_rc;
    const char* want_out_prefix;
    const char* want_err_part;
  };
  const Case cases[] = {
      {{"daemon"}, false, 2, "", "error: "},
      {{"list"}, false, 1, "", "error: "},
      {{"list"}, true, 0, "NAME ", ""},
      {{"validate"}, true, 0, "OK: 1 job(s)\n", ""},
      {{"mail-test"}, true, 1, "", "has no [mail] section"},
      // Without a configuration: api-init must not write the default paths under /etc.
      {{"api-init"}, false, 1, "", "error: "},
      {{"api-info"}, true, 0, "enabled:            no\n", ""},
      {{"api-token", "frobnicate"}, true, 2, "vrk_sched ", ""},
      {{"run"}, true, 2, "vrk_sched ", ""},
      {{"start"}, true, 2, "vrk_sched ", ""},
      {{"run", "nosuch"}, true, 1, "", "vrk_sched: unknown job 'nosuch'"},
      {{"start", "nosuch"}, true, 1, "", "error: unknown job 'nosuch'\n"},
  };
  const std::string missing = dir_ + "/missing.cfg";
  const std::string queue = dir_ + "/queue.state";
  for (const Case& c : cases) {
    std::vector<std::string> words = {"vrk_sched"};
    words.insert(words.end(), c.words.begin(), c.words.end());
    std::vector<char*> argv;
    for (std::string& w : words) {
      argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    SCOPED_TRACE(words[1] + (words.size() > 2 ? " " + words[2] : "") +
                 (c.good_config ? "" : " (missing config)"));
    const CommandSpec* row = command_spec_find(argv[1]);
    ASSERT_NE(row, nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int rc = row->handler(c.good_config ? good_.c_str() : missing.c_str(), queue.c_str(),
                          static_cast<int>(words.size()), argv.data());
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, c.want_rc);
    EXPECT_EQ(out.rfind(c.want_out_prefix, 0), 0u) << out.substr(0, 200);
    if (c.want_err_part[0] == '\0') {
      EXPECT_EQ(err, "");
    } else {
      EXPECT_NE(err.find(c.want_err_part), std::string::npos) << err;
    }
  }
}

}  // namespace
}  // namespace vrk
