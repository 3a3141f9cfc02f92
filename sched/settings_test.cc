#include "sched/settings.h"

#include <stdio.h>

#include <initializer_list>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "common/test_argv.h"

namespace vrk {
namespace {

TEST(SchedSettingsResolve, FlagThenSchedThenDefault) {
  struct Case {
    const char* what;
    std::initializer_list<const char*> words;
    uint32_t cfg_poll, cfg_busy, cfg_timeout, cfg_keep;
    const char* cfg_dir;
    uint32_t poll, busy, timeout, keep;
    const char* dir;
  };
  const Case cases[] = {
      {"defaults",
       {"p", "daemon"},
       0,
       0,
       0,
       0,
       "",
       30,
       30,
       86400,
       20,
       "/var/log/vrk/vrk_sched-jobs"},
      {"sched values", {"p", "daemon"}, 10, 7, 99, 3, "/j", 10, 7, 99, 3, "/j"},
      {"busy follows the chosen poll",
       {"p", "daemon", "--poll-interval", "10"},
       0,
       0,
       0,
       0,
       "",
       10,
       10,
       86400,
       20,
       "/var/log/vrk/vrk_sched-jobs"},
      {"busy follows the sched poll",
       {"p", "daemon"},
       45,
       0,
       0,
       0,
       "",
       45,
       45,
       86400,
       20,
       "/var/log/vrk/vrk_sched-jobs"},
      {"flags win, also with 0",
       {"p", "daemon", "--poll-interval=0", "--busy-retry-seconds", "0", "--job-timeout-seconds",
        "0", "--job-log-keep", "0", "--job-log-dir", "/f"},
       10,
       7,
       99,
       3,
       "/j",
       0,
       0,
       0,
       0,
       "/f"},
      {"not a number is 0",
       {"p", "daemon", "--poll-interval", "abc", "--job-log-keep", "5x"},
       10,
       0,
       0,
       3,
       "",
       0,
       0,
       86400,
       5,
       "/var/log/vrk/vrk_sched-jobs"},
      {"first occurrence",
       {"p", "daemon", "--poll-interval", "45", "--poll-interval=9"},
       0,
       0,
       0,
       0,
       "",
       45,
       45,
       86400,
       20,
       "/var/log/vrk/vrk_sched-jobs"},
  };
  auto cfg = std::make_unique<SchedConfig>();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    cfg->poll_interval = c.cfg_poll;
    cfg->busy_retry_seconds = c.cfg_busy;
    cfg->job_timeout_seconds = c.cfg_timeout;
    cfg->job_log_keep = c.cfg_keep;
    snprintf(cfg->job_log_dir, sizeof cfg->job_log_dir, "%s", c.cfg_dir);
    TestArgv a(c.words);
    SchedSettings s;
    char err[128];
    ASSERT_EQ(sched_settings_resolve(a.argc(), a.argv(), *cfg, s, err), 0) << err;
    EXPECT_STREQ(err, "");
    EXPECT_EQ(s.poll_interval, c.poll);
    EXPECT_EQ(s.busy_retry_seconds, c.busy);
    EXPECT_EQ(s.job_timeout_seconds, c.timeout);
    EXPECT_EQ(s.job_log_keep, c.keep);
    EXPECT_STREQ(s.job_log_dir, c.dir);
  }
}

TEST(SchedSettingsResolve, JobLogDirFlagIsRefusedRatherThanCut) {
  const std::string at_limit = "/" + std::string(598, 'd');
  const std::string over = at_limit + "x";
  struct Case {
    std::string flag;  // "" for none
    int want_rc;
    std::string want_dir;  // on success
  } cases[] = {
      {at_limit, 0, at_limit},
      {over, -1, ""},
      {"", 0, "/sched"},
  };
  auto cfg = std::make_unique<SchedConfig>();
  snprintf(cfg->job_log_dir, sizeof cfg->job_log_dir, "/sched");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flag.size());
    TestArgv with_flag({"p", "run", "j", "--job-log-dir", c.flag.c_str()});
    TestArgv without_flag({"p", "run", "j"});
    TestArgv& a = c.flag.empty() ? without_flag : with_flag;
    SchedSettings s;
    s.job_log_keep = 77;  // untouched on failure
    char err[128];
    EXPECT_EQ(sched_settings_resolve(a.argc(), a.argv(), *cfg, s, err), c.want_rc);
    if (c.want_rc == 0) {
      EXPECT_EQ(std::string(s.job_log_dir), c.want_dir);
      EXPECT_STREQ(err, "");
    } else {
      EXPECT_STREQ(err, "--job-log-dir is too long (at most 599 bytes)");
      EXPECT_EQ(s.job_log_keep, 77u);
      EXPECT_STREQ(s.job_log_dir, "");
    }
  }
}

}  // namespace
}  // namespace vrk
