#include "sched/config.h"

#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "common/text.h"

namespace vrk {
namespace {

TEST(CommandTable, KeywordsRoundTripInOrder) {
  const char* want[kCommandCount] = {"agent",
                                     "proxmox",
                                     "xenv",
                                     "restore",
                                     "proxmox-restore",
                                     "xenv-restore",
                                     "verify",
                                     "maint-synthetic-full",
                                     "maint-recompress",
                                     "maint-scrub",
                                     "maint-prune"};
  for (int i = 0; i < kCommandCount; ++i) {
    SCOPED_TRACE(want[i]);
    EXPECT_STREQ(command_keyword(i), want[i]);
    EXPECT_EQ(command_from_keyword(want[i]), i);
  }
}

TEST(CommandFromKeyword, IsExactAndCaseSensitive) {
  for (const char* bad : {"", "Agent", "agent ", "maint", "maint-prune2", "?"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(command_from_keyword(bad), -1);
  }
}

TEST(CommandKeyword, OutOfRangeIsQuestionMark) {
  EXPECT_STREQ(command_keyword(11), "?");
  EXPECT_STREQ(command_keyword(-1), "?");
  EXPECT_FALSE(command_takes_profile(11));
  EXPECT_FALSE(command_takes_profile(-1));
  EXPECT_FALSE(command_takes_retention(11));
  EXPECT_FALSE(command_takes_retention(-1));
}

TEST(CommandTable, OnlyBackupCommandsTakeProfileAndRetention) {
  for (int i = 0; i < kCommandCount; ++i) {
    SCOPED_TRACE(i);
    bool backup = i <= 2;
    EXPECT_EQ(command_takes_profile(i), backup);
    EXPECT_EQ(command_takes_retention(i), backup);
  }
  EXPECT_STREQ(kJobCommands[2].program, "vrk_xenV");
  EXPECT_EQ(kJobCommands[6].first_arg, nullptr);
  EXPECT_STREQ(kJobCommands[7].first_arg, "synthetic-full");
  EXPECT_STREQ(kJobCommands[10].program, "vrk_maintenance");
  EXPECT_STREQ(kJobCommands[10].first_arg, "prune");
}

TEST(ApiSettings, DefaultAllowedCommandsLeaveOutRestoreAndPrune) {
  ApiSettings api;
  for (int i = 0; i < kCommandCount; ++i) {
    SCOPED_TRACE(command_keyword(i));
    bool allowed = (api.allowed_commands >> i) & 1;
    bool restore_or_prune =
        i == 3 || i == 4 || i == 5 || i == static_cast<int>(CommandKind::kMaintPrune);
    EXPECT_EQ(allowed, !restore_or_prune);
  }
  EXPECT_EQ(api.allowed_commands >> kCommandCount, 0u);
}

TEST(ConfigReset, GivesTheRecordDefaults) {
  auto cfg = std::make_unique<SchedConfig>();
  cfg->job_count = 3;
  cfg->api.listen_port = 1;
  cfg->mail.tls_mode = kMailTlsNone;
  config_reset(*cfg);
  EXPECT_EQ(cfg->job_count, 0u);
  EXPECT_EQ(cfg->api.listen_port, 8447u);
  EXPECT_STREQ(cfg->api.listen_address, "0.0.0.0");
  EXPECT_STREQ(cfg->api.tokens_file, "/etc/vrk/vrk_sched_api_tokens");
  EXPECT_EQ(cfg->mail.tls_mode, kMailTlsStarttls);
  EXPECT_EQ(cfg->mail.timeout_seconds, 60u);
  EXPECT_EQ(cfg->mail.enabled, 0u);
}

TEST(ConfigJobReset, FreshJobIsAnEnabledAgentJobWithUnsetKeys) {
  JobConfig job;
  job.command = CommandKind::kVerify;
  job.enabled = 0;
  job.notify = kNotifyAlways;
  job.name[0] = 'x';
  config_job_reset(job);
  EXPECT_EQ(job.command, CommandKind::kAgent);
  EXPECT_EQ(job.enabled, 1u);
  EXPECT_EQ(job.notify, kNotifyUnset);
  EXPECT_EQ(job.run_background, -1);
  EXPECT_EQ(job.start_background, -1);
  EXPECT_EQ(job.name[0], '\0');
}

TEST(ConfigFree, FreesTokensWipesPasswordAndIsSafeTwice) {
  auto cfg = std::make_unique<SchedConfig>();
  config_free(*cfg);  // empty record
  cfg->job_count = 2;
  cfg->jobs[1].args_tokens[0] = strdup("--a");
  cfg->jobs[1].args_tokens[1] = strdup("b");
  cfg->jobs[1].args_token_count = 2;
  cfg->mail.enabled = 1;
  memcpy(cfg->mail.smtp_password, "hunter2", 8);
  config_free(*cfg);
  EXPECT_EQ(cfg->job_count, 0u);
  EXPECT_EQ(cfg->jobs[1].args_tokens[0], nullptr);
  EXPECT_EQ(cfg->jobs[1].args_token_count, 0);
  bool wiped = true;
  for (char c : cfg->mail.smtp_password) {
    wiped = wiped && c == '\0';
  }
  EXPECT_TRUE(wiped);
  config_free(*cfg);
  EXPECT_EQ(cfg->mail.enabled, 0u);
}

TEST(ConfigFindJob, FirstExactMatchInTableOrder) {
  auto cfg = std::make_unique<SchedConfig>();
  const char* names[] = {"nightly", "Nightly", "nightly"};
  for (const char* n : names) {
    JobConfig& j = cfg->jobs[cfg->job_count++];
    config_job_reset(j);
    ASSERT_TRUE(text_copy(j.name, n));
  }
  cfg->jobs[2].timeout_seconds = 9;
  EXPECT_EQ(config_find_job(*cfg, "nightly"), &cfg->jobs[0]);
  EXPECT_EQ(config_find_job(*cfg, "Nightly"), &cfg->jobs[1]);
  EXPECT_EQ(config_find_job(*cfg, "night"), nullptr);
  EXPECT_EQ(config_find_job(*cfg, "nightly2"), nullptr);
  EXPECT_EQ(config_find_job(*cfg, ""), nullptr);
  JobNameIndex index;
  config_job_index_build(*cfg, index);
  for (const char* n : {"nightly", "Nightly", "night", "nightly2", ""}) {
    SCOPED_TRACE(n);
    const JobConfig* want = config_find_job(*cfg, n);
    EXPECT_EQ(config_job_index_find(*cfg, index, n),
              want ? static_cast<int>(want - cfg->jobs) : -1);
  }
}

TEST(ConfigJobIndex, AgreesWithLinearSearchOnAFullTable) {
  auto cfg = std::make_unique<SchedConfig>();
  for (int i = 0; i < kMaxJobs; ++i) {
    JobConfig& j = cfg->jobs[cfg->job_count++];
    ASSERT_TRUE(text_copy(j.name, "job-" + std::to_string(i % 200)));
  }
  JobNameIndex index;
  config_job_index_build(*cfg, index);
  for (int i = 0; i < 210; ++i) {
    std::string n = "job-" + std::to_string(i);
    const JobConfig* want = config_find_job(*cfg, n);
    EXPECT_EQ(config_job_index_find(*cfg, index, n),
              want ? static_cast<int>(want - cfg->jobs) : -1);
  }
}

TEST(ConfigDefaultPath, IsTheEtcFile) {
  EXPECT_STREQ(config_default_path(), "/etc/vrk/vrk_sched.cfg");
}

TEST(JobWantsNotify, FollowsJobThenMailDefault) {
  struct Case {
    uint32_t mail_enabled;
    uint32_t mail_default;
    int32_t job_notify;
    bool failed;
    bool want;
  };
  const Case cases[] = {
      {0, kNotifyAlways, kNotifyAlways, true, false},  // no [mail]: never
      {0, kNotifyAlways, kNotifyUnset, true, false},
      {1, kNotifyNever, kNotifyUnset, true, false},
      {1, kNotifyFailed, kNotifyUnset, true, true},
      {1, kNotifyFailed, kNotifyUnset, false, false},
      {1, kNotifyAlways, kNotifyUnset, false, true},
      {1, kNotifyAlways, kNotifyNever, true, false},  // the job's own setting wins
      {1, kNotifyNever, kNotifyAlways, false, true},
      {1, kNotifyNever, kNotifyFailed, true, true},
      {1, kNotifyAlways, kNotifyFailed, false, false},
  };
  auto cfg = std::make_unique<SchedConfig>();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.mail_enabled << " " << c.mail_default << " "
                                    << c.job_notify << " " << c.failed);
    cfg->mail.enabled = c.mail_enabled;
    cfg->mail_notify_default = c.mail_default;
    JobConfig job;
    job.notify = c.job_notify;
    EXPECT_EQ(job_wants_notify(*cfg, job, c.failed), c.want);
  }
}

}  // namespace
}  // namespace vrk
