#include "sched/job_argv.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/text.h"
#include "sched/args.h"

namespace vrk {
namespace {

using Words = std::vector<std::string>;

struct JobSpec {
  CommandKind command;
  const char* profile;
  const char* retention;
  const char* retention_class;
  const char* args;
};

// A job record as the loader leaves it; the caller frees the tokens with args_free.
JobConfig make_job(const JobSpec& s) {
  JobConfig job;
  config_job_reset(job);
  job.command = s.command;
  EXPECT_TRUE(text_copy(job.profile, s.profile));
  EXPECT_TRUE(text_copy(job.retention, s.retention));
  EXPECT_TRUE(text_copy(job.retention_class, s.retention_class));
  char err[256];
  job.args_token_count = args_tokenize(s.args, job.args_tokens, kArgsMaxTokens, err);
  EXPECT_GE(job.args_token_count, 0) << err;
  return job;
}

TEST(JobBuildArgv, Entries) {
  struct Case {
    const char* name;
    JobSpec job;
    int background;
    Words want;
  } cases[] = {
      {"agent, everything",
       {CommandKind::kAgent, "p1", "30d", "gold", "--verbose"},
       1,
       {"vrk_agent", "--name", "p1", "--background", "--retention", "30d", "--retention-class",
        "gold", "--verbose"}},
      {"agent, background off",
       {CommandKind::kAgent, "p1", "30d", "", ""},
       0,
       {"vrk_agent", "--name", "p1", "--retention", "30d"}},
      {"proxmox, retention forever without class",
       {CommandKind::kProxmox, "", "forever", "", ""},
       0,
       {"vrk_proxmox", "--retention", "forever"}},
      {"xenv, background only",
       {CommandKind::kXenv, "", "", "", ""},
       1,
       {"vrk_xenV", "--background"}},
      {"restore ignores background",
       {CommandKind::kRestore, "", "", "", "--job 7"},
       1,
       {"vrk_restore", "--job", "7"}},
      {"verify ignores retention",
       {CommandKind::kVerify, "", "30d", "gold", ""},
       1,
       {"vrk_verifier"}},
      {"maint-scrub with args",
       {CommandKind::kMaintScrub, "", "", "", "--repo /srv/r"},
       0,
       {"vrk_maintenance", "scrub", "--repo", "/srv/r"}},
      {"maint-synthetic-full",
       {CommandKind::kMaintSyntheticFull, "", "", "", ""},
       0,
       {"vrk_maintenance", "synthetic-full"}},
      {"maint-recompress",
       {CommandKind::kMaintRecompress, "", "", "", ""},
       0,
       {"vrk_maintenance", "recompress"}},
      {"maint-prune", {CommandKind::kMaintPrune, "", "", "", ""}, 1, {"vrk_maintenance", "prune"}},
      {"proxmox-restore",
       {CommandKind::kProxmoxRestore, "", "", "", ""},
       0,
       {"vrk_proxmox_restore"}},
      {"xenv-restore", {CommandKind::kXenvRestore, "", "", "", ""}, 0, {"vrk_xenV_restore"}},
      {"args pass through unchecked",
       {CommandKind::kAgent, "", "", "", "--background \"a b\""},
       0,
       {"vrk_agent", "--background", "a b"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    JobConfig job = make_job(c.job);
    std::vector<const char*> argv = {"stale"};
    int count = -1;
    char err[256] = "x";
    ASSERT_EQ(job_build_argv(job, c.background, argv, count, err), 0) << err;
    EXPECT_STREQ(err, "");
    ASSERT_EQ(count, static_cast<int>(c.want.size()));
    ASSERT_EQ(argv.size(), c.want.size() + 1);
    EXPECT_EQ(argv.back(), nullptr);
    Words got(argv.begin(), argv.begin() + count);
    EXPECT_EQ(got, c.want);
    // Entries borrow from the record rather than copying it.
    if (job.args_token_count > 0) {
      EXPECT_EQ(argv[count - 1], job.args_tokens[job.args_token_count - 1]);
    }
    args_free(job.args_tokens, job.args_token_count);
  }
}

TEST(JobBuildArgv, FullTokenCountFitsTheReservation) {
  std::string args;
  for (int i = 0; i < kArgsMaxTokens; ++i) {
    args += " t" + std::to_string(i);
  }
  JobConfig job = make_job({CommandKind::kAgent, "p", "1y", "c", args.c_str()});
  ASSERT_EQ(job.args_token_count, kArgsMaxTokens);
  std::vector<const char*> argv;
  int count = 0;
  char err[256];
  ASSERT_EQ(job_build_argv(job, 1, argv, count, err), 0) << err;
  EXPECT_EQ(count, 8 + kArgsMaxTokens);
  EXPECT_EQ(argv.capacity(), static_cast<size_t>(kArgsMaxTokens + 10));
  EXPECT_STREQ(argv[count - 1], "t63");
  args_free(job.args_tokens, job.args_token_count);
}

TEST(JobBuildArgv, RefusesUnknownCommand) {
  for (int kind : {11, -1}) {
    SCOPED_TRACE(kind);
    JobConfig job;
    config_job_reset(job);
    job.command = static_cast<CommandKind>(kind);
    std::vector<const char*> argv = {"stale"};
    int count = 5;
    char err[256];
    EXPECT_EQ(job_build_argv(job, 0, argv, count, err), -1);
    EXPECT_EQ(std::string(err), "internal error: unknown command enum " + std::to_string(kind));
    EXPECT_TRUE(argv.empty());
    EXPECT_EQ(count, 0);
  }
}

}  // namespace
}  // namespace vrk
