#include "common/selftest.h"

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vrk {
namespace {

TEST(Selftest, PassesWithWorkingLibraries) {
  char msg[256];
  memset(msg, 'x', sizeof msg);
  EXPECT_EQ(selftest(msg, sizeof msg), 0);
  EXPECT_STREQ(msg, "");
}

TEST(VersionOrSelftest, Answers) {
  struct Case {
    std::vector<std::string> args;
    int want_rc;
    const char* want_out;
  };
  const Case cases[] = {
      {{"vrk_sched"}, -1, ""},
      {{"vrk_sched", "list", "-v"}, -1, ""},
      {{"vrk_sched", "--version"}, 0, "vrk_sched 1.0.2-alpha028\n"},
      {{"vrk_sched", "list", "--version"}, 0, "vrk_sched 1.0.2-alpha028\n"},
      {{"vrk_sched", "--selftest", "--version"}, 0, "vrk_sched 1.0.2-alpha028\n"},
      {{"vrk_sched", "--selftest"}, 0, "vrk_sched 1.0.2-alpha028: selftest ok\n"},
      {{"vrk_sched", "daemon", "--selftest"}, 0, "vrk_sched 1.0.2-alpha028: selftest ok\n"},
      // The program's own name is not an argument.
      {{"--version"}, -1, ""},
      {{"vrk_sched", "--versions", "-selftest"}, -1, ""},
  };
  for (const Case& c : cases) {
    std::string joined;
    std::vector<char*> argv;
    for (const std::string& a : c.args) {
      joined += a + " ";
      argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    SCOPED_TRACE(joined);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int rc = version_or_selftest(static_cast<int>(c.args.size()), argv.data(), "vrk_sched");
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, c.want_rc);
    EXPECT_EQ(out, c.want_out);
    EXPECT_EQ(err, "");
  }
}

}  // namespace
}  // namespace vrk
