#include "sched/job_log.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "common/fd.h"

namespace vrk {
namespace {

const char kHeader[] = "job: a\nargv: vrk_agent\nstart_unix: 100\n\n--- output ---\n";

TEST(JobLogFooterParse, Table) {
  struct Case {
    const char* what;
    std::string tail;
    LogFooter want;
  } cases[] = {
      {"empty", "", {}},
      {"running", std::string(kHeader) + "still going\n", {}},
      {"done",
       "out\n\n--- end ---\nfinish_unix: 160\nexit_code: 0\ntimed_out: 0\n",
       {true, 160, 0, 0, 0}},
      {"timed out",
       "\n--- end ---\nfinish_unix: 9\nexit_code: -1\ntimed_out: 1\n",
       {true, 9, -1, 1, 0}},
      {"cancelled",
       "\n--- end ---\nfinish_unix: 9\nexit_code: 143\ntimed_out: 0\ncancelled: 1\n"
       "cancelled_by: API token exit_code: 5\n",
       {true, 9, 143, 0, 1}},
      {"negative time", "\n--- end ---\nfinish_unix: -5\n", {true, -5, 0, 0, 0}},
      {"items missing or unreadable",
       "\n--- end ---\nfinish_unix: x\nexit_code: 99999999999\ntimed_out: 1\n",
       {true, 0, 0, 1, 0}},
      {"the last marker counts",
       "\n--- end ---\nfinish_unix: 1\nexit_code: 3\n\n--- end ---\nfinish_unix: 2\n",
       {true, 2, 0, 0, 0}},
      {"marker without its line feeds", "--- end ---\nfinish_unix: 2\n", {}},
      {"output NUL bytes are spaces",
       std::string("a\0b\n--- end ---\nfinish_unix: 4\n", 30),
       {true, 4, 0, 0, 0}},
      // Two runs started in the same second share the file: the second has not finished.
      {"a later run in the same file",
       "\n--- end ---\nfinish_unix: 1\nexit_code: 0\ntimed_out: 0\n" + std::string(kHeader),
       {}},
      // Only the last 512 bytes are looked at.
      {"marker before the tail", "\n--- end ---\nfinish_unix: 1\n" + std::string(600, 'x'), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LogFooter got;
    got.finished = true;
    got.exit_code = 77;
    job_log_footer_parse(c.tail, got);
    EXPECT_EQ(got.finished, c.want.finished);
    EXPECT_EQ(got.finish, c.want.finish);
    EXPECT_EQ(got.exit_code, c.want.exit_code);
    EXPECT_EQ(got.timed_out, c.want.timed_out);
    EXPECT_EQ(got.cancelled, c.want.cancelled);
  }
}

// The writer's footer read back from a file whose output runs past the 512-byte tail.
TEST(JobLogFooter, ReadsWhatTheRunnerWrites) {
  char path[] = "/tmp/vrk_footer_XXXXXX";
  UniqueFd fd(mkostemp(path, O_CLOEXEC));
  ASSERT_TRUE(fd.valid());
  unlink(path);
  std::string output = std::string(kHeader) + std::string(5000, 'o');
  ASSERT_EQ(write(fd.get(), output.data(), output.size()), static_cast<ssize_t>(output.size()));
  LogFooter got;
  job_log_footer(fd.get(), static_cast<int64_t>(output.size()), got);
  EXPECT_FALSE(got.finished);
  job_log_write_footer(fd.get(), 1735696860, 143, false, "API token ops");
  const off_t size = lseek(fd.get(), 0, SEEK_END);
  job_log_footer(fd.get(), size, got);
  EXPECT_TRUE(got.finished);
  EXPECT_EQ(got.finish, 1735696860);
  EXPECT_EQ(got.exit_code, 143);
  EXPECT_EQ(got.timed_out, 0);
  EXPECT_EQ(got.cancelled, 1);
  job_log_footer(fd.get(), 0, got);
  EXPECT_FALSE(got.finished);
}

}  // namespace
}  // namespace vrk
