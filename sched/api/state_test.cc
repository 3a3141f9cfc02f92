#include "sched/api/state.h"

#include <string.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

namespace vrk {
namespace {

TEST(ApiStateInit, HistoryDirBesideTheQueueFile) {
  struct Case {
    const char* queue;
    const char* want;
  };
  const Case cases[] = {
      {"/var/lib/vrk_sched/queue.state", "/var/lib/vrk_sched/cfg-history"},
      {"queue.state", "./cfg-history"},
      {"/queue.state", "/cfg-history"},
      {"run/q", "run/cfg-history"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.queue);
    ApiState s;
    api_state_init(s, "/etc/x.cfg", c.queue, "/logs", nullptr, nullptr);
    EXPECT_STREQ(s.history_dir, c.want);
    EXPECT_STREQ(s.config_path, "/etc/x.cfg");
    EXPECT_STREQ(s.job_log_dir, "/logs");
    EXPECT_GT(s.daemon_started, 0);
  }
}

TEST(ApiStateInit, StartsFromAnEmptyTokenTableAndNonceCache) {
  auto s = std::make_unique<ApiState>();
  s->tokens.count = 1;
  memset(s->tokens.tokens[0].secret, 'S', kTokenSecretSize - 1);
  s->token_file_state = kTokenFileLoaded;
  s->nonce_cache.next = 9;
  s->nonce_cache.entries[8].nonce[0] = 'a';
  api_state_init(*s, "/etc/x.cfg", "q", "/logs", nullptr, nullptr);
  EXPECT_EQ(s->tokens.count, 0u);
  EXPECT_EQ(s->tokens.tokens[0].secret[0], '\0');
  EXPECT_EQ(s->token_file_state, kTokenFileNeverLoaded);
  EXPECT_EQ(s->nonce_cache.next, 0u);
  EXPECT_EQ(s->nonce_cache.entries[8].nonce[0], '\0');
}

TEST(ApiQueuePop, TakesTheFrontInOrder) {
  ApiState s;
  EXPECT_EQ(s.run_queue_count, 0u);
  char job[kJobNameSize];
  char token[kApiTokenNameSize];
  EXPECT_FALSE(api_queue_pop(s, job, token));
  for (int i = 0; i < 3; ++i) {
    snprintf(s.run_queue[i].job, sizeof s.run_queue[i].job, "job%d", i);
    snprintf(s.run_queue[i].token, sizeof s.run_queue[i].token, "tok%d", i);
  }
  s.run_queue_count = 3;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(api_queue_pop(s, job, token));
    EXPECT_EQ(std::string(job), "job" + std::to_string(i));
    EXPECT_EQ(std::string(token), "tok" + std::to_string(i));
  }
  EXPECT_FALSE(api_queue_pop(s, job, token));
  EXPECT_EQ(s.run_queue[0].job[0], '\0');
}

TEST(ApiQueueRemove, TakesOutTheFirstEntryOfTheJobOnly) {
  ApiState s;
  EXPECT_FALSE(api_queue_remove(s, "a"));
  const char* jobs[] = {"a", "b", "a", "c"};
  for (int i = 0; i < 4; ++i) {
    snprintf(s.run_queue[i].job, sizeof s.run_queue[i].job, "%s", jobs[i]);
    snprintf(s.run_queue[i].token, sizeof s.run_queue[i].token, "tok%d", i);
  }
  s.run_queue_count = 4;
  EXPECT_FALSE(api_queue_remove(s, "d"));
  EXPECT_EQ(s.run_queue_count, 4u);
  EXPECT_TRUE(api_queue_remove(s, "a"));
  ASSERT_EQ(s.run_queue_count, 3u);
  const char* want[][2] = {{"b", "tok1"}, {"a", "tok2"}, {"c", "tok3"}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_STREQ(s.run_queue[i].job, want[i][0]);
    EXPECT_STREQ(s.run_queue[i].token, want[i][1]);
  }
  EXPECT_EQ(s.run_queue[3].job[0], '\0');
  EXPECT_TRUE(api_queue_remove(s, "c"));
  EXPECT_TRUE(api_queue_remove(s, "a"));
  EXPECT_TRUE(api_queue_remove(s, "b"));
  EXPECT_EQ(s.run_queue_count, 0u);
  EXPECT_FALSE(api_queue_remove(s, "b"));
}

TEST(ApiNoteMailResult, UpdatesOnlyMatchingSlots) {
  ApiState s;
  s.test_mails[0].mail_id = 7;
  s.test_mails[3].mail_id = 7;
  s.test_mails[4].mail_id = 8;
  api_note_mail_result(s, 7, true, std::string(400, 'e').c_str());
  EXPECT_EQ(s.test_mails[0].state, kTestMailFailed);
  EXPECT_EQ(std::string(s.test_mails[3].error), std::string(255, 'e'));
  EXPECT_EQ(s.test_mails[4].state, kTestMailPending);
  api_note_mail_result(s, 7, false, "ignored");
  EXPECT_EQ(s.test_mails[0].state, kTestMailSent);
  EXPECT_STREQ(s.test_mails[0].error, "");
  api_note_mail_result(s, 0, true, "x");  // unused slots hold id 0 and stay pending
  EXPECT_EQ(s.test_mails[1].state, kTestMailPending);
}

TEST(ApiCommandAllowed, FollowsTheBitSet) {
  auto cfg = std::make_unique<SchedConfig>();
  EXPECT_TRUE(api_command_allowed(*cfg, CommandKind::kAgent));
  EXPECT_TRUE(api_command_allowed(*cfg, CommandKind::kMaintScrub));
  EXPECT_FALSE(api_command_allowed(*cfg, CommandKind::kRestore));
  EXPECT_FALSE(api_command_allowed(*cfg, CommandKind::kMaintPrune));
  cfg->api.allowed_commands = 1u << 10;
  EXPECT_TRUE(api_command_allowed(*cfg, CommandKind::kMaintPrune));
  EXPECT_FALSE(api_command_allowed(*cfg, static_cast<CommandKind>(31)));
}

}  // namespace
}  // namespace vrk
