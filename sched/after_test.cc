#include "sched/after.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/text.h"

namespace vrk {
namespace {

std::vector<std::string> after_names(const JobConfig& job) {
  std::vector<std::string> out;
  for (int i = 0; i < job.after_count; ++i) {
    out.emplace_back(job.after[i]);
  }
  return out;
}

std::string names_csv(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) {
    s += (i ? "," : "") + std::string("j") + std::to_string(i);
  }
  return s;
}

TEST(AfterParse, SplitsTrimsAndRefuses) {
  struct Case {
    std::string value;
    int want_rc;
    std::string want_msg;
    std::vector<std::string> want;
  };
  const std::string n127(127, 'n');
  const std::string n128(128, 'n');
  const std::vector<Case> cases = {
      {"a", 0, "", {"a"}},
      {"a,,b", 0, "", {"a", "b"}},
      {",a,", 0, "", {"a"}},
      {" a ,\tb ", 0, "", {"a", "b"}},
      {"a,a", 0, "", {"a", "a"}},  // twice is fine and counts twice
      {"a, ,b", -1, "empty job name in 'after'", {}},
      {names_csv(16), 0, "", {}},
      {names_csv(17), -1, "too many 'after' entries", {}},
      {names_csv(16) + ", ,x", -1, "empty job name in 'after'", {}},
      {names_csv(16) + "," + n128, -1, "too many 'after' entries", {}},
      {n127, 0, "", {n127}},
      {"a," + n128, -1, "job name '" + n128 + "' too long", {}},
      {"a" + std::string(2046, ','), 0, "", {"a"}},
      {"a" + std::string(2047, ','), -1, "'after' value too long", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.substr(0, 80));
    JobConfig job;
    char err[512];
    int rc = after_parse(c.value, job, err);
    EXPECT_EQ(rc, c.want_rc);
    EXPECT_EQ(std::string(err), c.want_msg);
    if (rc == 0 && !c.want.empty()) {
      EXPECT_EQ(after_names(job), c.want);
    }
    if (rc != 0) {
      EXPECT_EQ(job.after_count, 0);
      EXPECT_EQ(job.after[0][0], '\0');
    }
  }
}

TEST(AfterParse, FailureKeepsEarlierEntries) {
  JobConfig job;
  char err[128];
  ASSERT_EQ(after_parse("a,b", job, err), 0);
  EXPECT_EQ(after_parse("c, ,d", job, err), -1);
  EXPECT_EQ(after_names(job), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(job.after[2][0], '\0');
}

// Builds a configuration from {name, after} pairs in table order.
std::unique_ptr<SchedConfig> make_config(
    const std::vector<std::pair<std::string, std::string>>& jobs) {
  auto cfg = std::make_unique<SchedConfig>();
  for (const auto& [name, after] : jobs) {
    JobConfig& job = cfg->jobs[cfg->job_count++];
    config_job_reset(job);
    EXPECT_TRUE(text_copy(job.name, name));
    char err[128];
    if (!after.empty()) {
      EXPECT_EQ(after_parse(after, job, err), 0) << err;
    }
  }
  return cfg;
}

TEST(AfterCheckCycles, ReportsThePathFromWhereTheCycleIsEntered) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> jobs;
    int want_rc;
    std::string want_msg;
  };
  const std::vector<Case> cases = {
      {"none", {}, 0, ""},
      {"chain", {{"a", "b"}, {"b", "c"}, {"c", ""}}, 0, ""},
      {"diamond", {{"a", "b,c"}, {"b", "d"}, {"c", "d"}, {"d", ""}}, 0, ""},
      {"unknown names passed over", {{"a", "zz,b"}, {"b", "yy"}}, 0, ""},
      {"two", {{"a", "b"}, {"b", "a"}}, -1, "cycle in 'after': a -> b -> a"},
      {"three", {{"a", "b"}, {"b", "c"}, {"c", "a"}}, -1, "cycle in 'after': a -> b -> c -> a"},
      {"entered below x",
       {{"x", "a"}, {"a", "b"}, {"b", "a"}},
       -1,
       "cycle in 'after': a -> b -> a"},
      {"table order decides", {{"b", "a"}, {"a", "b"}}, -1, "cycle in 'after': b -> a -> b"},
      {"self", {{"a", "a"}}, -1, "cycle in 'after': a -> a"},
      {"after a done branch",
       {{"a", "b,c"}, {"b", ""}, {"c", "d"}, {"d", "c"}},
       -1,
       "cycle in 'after': c -> d -> c"},
      {"second component",
       {{"a", ""}, {"p", "q"}, {"q", "p"}},
       -1,
       "cycle in 'after': p -> q -> p"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto cfg = make_config(c.jobs);
    char err[512];
    EXPECT_EQ(after_check_cycles(*cfg, err), c.want_rc);
    EXPECT_EQ(std::string(err), c.want_msg);
  }
}

TEST(AfterCheckCycles, LongPathIsCutAt1023Characters) {
  // Sixteen 127-byte names in a ring: the path is far longer than its 1024-byte buffer.
  std::vector<std::pair<std::string, std::string>> jobs;
  std::string path;
  for (int i = 0; i < 16; ++i) {
    std::string name = std::string(124, 'a' + i) + std::to_string(100 + i);
    std::string next = std::string(124, 'a' + (i + 1) % 16) + std::to_string(100 + (i + 1) % 16);
    jobs.push_back({name, next});
    path += name + " -> ";
  }
  path += jobs[0].first;
  auto cfg = make_config(jobs);
  char err[4096];
  EXPECT_EQ(after_check_cycles(*cfg, err), -1);
  EXPECT_EQ(std::string(err), "cycle in 'after': " + path.substr(0, 1023));
  char small[32];
  EXPECT_EQ(after_check_cycles(*cfg, small), -1);
  EXPECT_EQ(std::string(small), ("cycle in 'after': " + path).substr(0, 31));
}

}  // namespace
}  // namespace vrk
