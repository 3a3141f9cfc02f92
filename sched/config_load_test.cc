#include "sched/config_load.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/text.h"
#include "sched/cmd_validate.h"

namespace vrk {
namespace {

// A job that passes every end-of-file check.
constexpr const char* kJob = "[j]\nschedule = * * * * *\n";
// A [mail] section that passes every end-of-file check.
constexpr const char* kMail = "[mail]\nsmtp-host = mx\nfrom = a@b\nto = c@d\n";

struct Loaded {
  std::unique_ptr<SchedConfig> cfg = std::make_unique<SchedConfig>();
  int rc = 0;
  std::string msg;
  ~Loaded() { config_free(*cfg); }
};

std::unique_ptr<Loaded> load(std::string_view text) {
  auto l = std::make_unique<Loaded>();
  char err[kConfigErrSize];
  l->rc = config_load_text(text, "t.cfg", *l->cfg, err);
  l->msg = err;
  return l;
}

std::string jobs(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) {
    s += "[j" + std::to_string(i) + "]\nenabled = no\n";
  }
  return s;
}

std::string addresses(int n, const std::string& last = "") {
  std::string s = "to = ";
  for (int i = 0; i < n; ++i) {
    s += "r" + std::to_string(i) + "@x,";
  }
  return s + last + "\n";
}

TEST(ConfigLoadText, EveryMessage) {
  struct Case {
    std::string text;
    std::string want;
  };
  const std::string s128(128, 's');
  const std::vector<Case> cases = {
      // Lines and sections.
      {std::string(2047, '#') + "\n", "t.cfg:1: line too long"},
      {std::string(kJob) + std::string(3000, ' '), "t.cfg:3: line too long"},
      {"[j]\nargs = \"--x 1\" --y\n",
       "t.cfg:2: unterminated quote or text after the closing quote"},
      {"[j]\nargs = \"--x 1\n", "t.cfg:2: unterminated quote or text after the closing quote"},
      {"[j]\nargs = 'a' b\n", "t.cfg:2: unterminated quote or text after the closing quote"},
      {"[j]\nargs = \"a\\\"\n", "t.cfg:2: unterminated quote or text after the closing quote"},
      {"[j]\nargs =\v\"a\" b\n", "t.cfg:2: unterminated quote or text after the closing quote"},
      {"# c\n\npoll-interval = 1\n", "t.cfg:3: content before any [section]"},
      {"[j]\nschedule\n", "t.cfg:2: expected key=value"},
      {"[j]\nfoo #= x\n", "t.cfg:2: expected key=value"},
      {"[j]\n = x\n", "t.cfg:2: empty key"},
      {"[j]\nargs =\n", "t.cfg:2: empty value for 'args'"},
      {"[j]\nargs = \"\"\n", "t.cfg:2: empty value for 'args'"},
      {"[j]\nargs = ''\n", "t.cfg:2: empty value for 'args'"},
      {"[j]\nargs = # only a note\n", "t.cfg:2: empty value for 'args'"},
      {"[j]\nargs = a\nargs = b\n", "t.cfg:3: duplicate setting 'args'"},
      {"[j\n", "t.cfg:1: malformed section header"},
      {"[\n", "t.cfg:1: malformed section header"},
      {"[ \t]\n", "t.cfg:1: empty section name"},
      {"\xEF\xBB\xBF\xEF\xBB\xBF[j]\n", "t.cfg:1: content before any [section]"},
      {"\n\xEF\xBB\xBF[j]\n", "t.cfg:2: content before any [section]"},
      {"\xEF\xBB\xBFpoll-interval = 1\n", "t.cfg:1: content before any [section]"},
      {"[j\x1b[31m]\n", "t.cfg:1: section name must not contain control characters"},
      {"[\x1b]\n", "t.cfg:1: section name must not contain control characters"},
      {"[j\x7f]\n", "t.cfg:1: section name must not contain control characters"},
      {"[a\tb]\n", "t.cfg:1: section name must not contain control characters"},
      {"[a\x01]\n", "t.cfg:1: section name must not contain control characters"},
      {"[a\x1f]\n", "t.cfg:1: section name must not contain control characters"},
      {"[a\rb]\n", "t.cfg:1: section name must not contain control characters"},
      {std::string(kJob) + "[j\x1b]\n",
       "t.cfg:3: section name must not contain control characters"},
      {"[sched]\n[sched]\n", "t.cfg:2: duplicate [sched] section"},
      {"[api]\n[ api ]\n", "t.cfg:2: duplicate [api] section"},
      {"[mail]\n[mail]\n", "t.cfg:2: duplicate [mail] section"},
      {std::string(kJob) + "[j]\n", "t.cfg:3: duplicate section [j]"},
      {"[job/x]\n", "t.cfg:1: job name 'job/x' must not contain '/'"},
      {"[.]\n", "t.cfg:1: job name '.' is not allowed"},
      {"[..]\n", "t.cfg:1: job name '..' is not allowed"},
      {jobs(256) + "[last]\n", "t.cfg:513: too many jobs"},
      {jobs(256) + "[j0]\n", "t.cfg:513: duplicate section [j0]"},
      {"[" + std::string(128, 'n') + "]\n", "t.cfg:1: job name too long"},
      {std::string("[j]\nargs = a\0b\n", 15), "t.cfg:2: line contains a NUL byte"},
      // [sched]
      {"[sched]\npoll-interval = 1s\n", "t.cfg:2: 'poll-interval' must be a number"},
      {"[sched]\npoll-interval = -1\n", "t.cfg:2: 'poll-interval' must be a number"},
      {"[sched]\npoll-interval = 4294967296\n", "t.cfg:2: 'poll-interval' must be a number"},
      {"[sched]\nbusy-retry-seconds = +5\n", "t.cfg:2: 'busy-retry-seconds' must be a number"},
      {"[sched]\njob-timeout-seconds = x\n", "t.cfg:2: 'job-timeout-seconds' must be a number"},
      {"[sched]\njob-log-keep = 1 2\n", "t.cfg:2: 'job-log-keep' must be a number"},
      {"[sched]\njob-log-dir = /" + std::string(599, 'd') + "\n",
       "t.cfg:2: 'job-log-dir' too long"},
      {"[sched]\nPoll-interval = 1\n", "t.cfg:2: unknown [sched] setting 'Poll-interval'"},
      // [mail]
      {"[mail]\nsmtp-host = a b\n", "t.cfg:2: invalid 'smtp-host'"},
      {"[mail]\nsmtp-host = a/b\n", "t.cfg:2: invalid 'smtp-host'"},
      {"[mail]\nsmtp-host = u@h\n", "t.cfg:2: invalid 'smtp-host'"},
      {"[mail]\nsmtp-host = " + std::string(256, 'h') + "\n", "t.cfg:2: invalid 'smtp-host'"},
      {"[mail]\nsmtp-port = 0\n", "t.cfg:2: 'smtp-port' must be 1..65535"},
      {"[mail]\nsmtp-port = 65536\n", "t.cfg:2: 'smtp-port' must be 1..65535"},
      {"[mail]\ntls = STARTTLS\n", "t.cfg:2: 'tls' must be starttls, smtps or none"},
      {"[mail]\nsmtp-user = " + std::string(256, 'u') + "\n", "t.cfg:2: 'smtp-user' too long"},
      {"[mail]\nsmtp-password = " + std::string(1024, 'p') + "\n",
       "t.cfg:2: 'smtp-password' too long"},
      {"[mail]\nfrom = Joe <j@x>\n",
       "t.cfg:2: 'from' must be a plain address like backup@example.org"},
      {"[mail]\nto = a@b, ,c@d\n", "t.cfg:2: invalid address '' in 'to'"},
      {"[mail]\nto = a@b, c@@d\n", "t.cfg:2: invalid address 'c@@d' in 'to'"},
      {"[mail]\n" + addresses(16, "x@y"), "t.cfg:2: too many addresses in 'to'"},
      {"[mail]\n" + addresses(16, "bad"), "t.cfg:2: invalid address 'bad' in 'to'"},
      {"[mail]\nca-file = " + std::string(512, 'c') + "\n", "t.cfg:2: 'ca-file' too long"},
      {"[mail]\ntimeout-seconds = 0\n", "t.cfg:2: 'timeout-seconds' must be a positive number"},
      {"[mail]\nnotify = sometimes\n", "t.cfg:2: 'notify' must be never, failed or always"},
      {"[mail]\nport = 25\n", "t.cfg:2: unknown [mail] setting 'port'"},
      // [api]
      {"[api]\nenabled = on\n", "t.cfg:2: 'enabled' must be yes or no"},
      {"[api]\nallow-config-write = 2\n", "t.cfg:2: 'allow-config-write' must be yes or no"},
      {"[api]\nallow-args = y\n", "t.cfg:2: 'allow-args' must be yes or no"},
      {"[api]\nnotify-changes = nope\n", "t.cfg:2: 'notify-changes' must be yes or no"},
      {"[api]\ncert = etc/c\n", "t.cfg:2: 'cert' must be an absolute path"},
      {"[api]\nkey = /" + std::string(511, 'k') + "\n", "t.cfg:2: 'key' must be an absolute path"},
      {"[api]\ntokens-file = ~/t\n", "t.cfg:2: 'tokens-file' must be an absolute path"},
      {"[api]\nallowed-commands = " + std::string(1024, ',') + "\n",
       "t.cfg:2: 'allowed-commands' too long"},
      {"[api]\nallowed-commands = agent, Verify\n",
       "t.cfg:2: unknown command 'Verify' in 'allowed-commands'"},
      {"[api]\nallowed-commands = agent,none\n",
       "t.cfg:2: unknown command 'none' in 'allowed-commands'"},
      {"[api]\nmax-clients = 0\n", "t.cfg:2: 'max-clients' must be 1..256"},
      {"[api]\nmax-clients = 257\n", "t.cfg:2: 'max-clients' must be 1..256"},
      {"[api]\nhistory-keep = 1001\n", "t.cfg:2: 'history-keep' must be 0..1000"},
      {"[api]\nport = 1\n", "t.cfg:2: unknown [api] setting 'port'"},
      // Jobs.
      {"[j]\ncommand = backup\n", "t.cfg:2: unknown command 'backup'"},
      {"[j]\nprofile = " + std::string(128, 'p') + "\n", "t.cfg:2: 'profile' too long"},
      {"[j]\nargs = " + std::string(1024, 'a') + "\n", "t.cfg:2: 'args' too long"},
      {"[j]\nargs = --a \"b\n", "t.cfg:2: unterminated quote in 'args'"},
      {"[j]\nschedule = * * * *\n",
       "t.cfg:2: invalid 'schedule': expected 5 fields (minute hour day-of-month month "
       "day-of-week), got 4"},
      {"[j]\nschedule = 0 0 * * *" + std::string(123, ' ') + "*\n",
       "t.cfg:2: invalid 'schedule': expected 5 fields (minute hour day-of-month month "
       "day-of-week), got 6"},
      {"[j]\nschedule = 0   " + std::string(120, ' ') + "0 * * *\n",
       "t.cfg:2: 'schedule' too long"},
      {"[j]\nonce = 2026-03-01T02:30:00Z\n",
       "t.cfg:2: invalid 'once' timestamp '2026-03-01T02:30:00Z' (expected unix seconds or "
       "YYYY-MM-DDTHH:MM:SS local time, no timezone suffix)"},
      {"[j]\nonce = " + std::string(64, '1') + "\n", "t.cfg:2: 'once' too long"},
      {"[j]\nafter = a, ,b\n", "empty job name in 'after'"},
      {"[j]\nafter = a,a,a,a,a,a,a,a,a,a,a,a,a,a,a,a,a\n", "too many 'after' entries"},
      {"[j]\nafter = " + s128 + "\n", "job name '" + s128 + "' too long"},
      {"[j]\nafter-mode = done\n", "t.cfg:2: 'after-mode' must be success or finished"},
      {"[j]\nenabled = maybe\n", "t.cfg:2: 'enabled' must be yes or no"},
      {"[j]\nrun-background = 2\n", "t.cfg:2: 'run-background' must be yes or no"},
      {"[j]\nstart-background = on\n", "t.cfg:2: 'start-background' must be yes or no"},
      {"[j]\nretention = 0d\n",
       "t.cfg:2: 'retention' must be <n>d, <n>w, <n>m, <n>y (n >= 1, at most 100 years) or "
       "forever"},
      {"[j]\nretention-class = Gold\n",
       "t.cfg:2: 'retention-class' may only contain a-z, 0-9, '_' and '-' (at most 31 "
       "characters)"},
      {"[j]\nnotify = never!\n", "t.cfg:2: 'notify' must be never, failed or always"},
      {"[j]\ntimeout-seconds = -1\n", "t.cfg:2: 'timeout-seconds' must be a number"},
      {"[j]\nSchedule = * * * * *\n", "t.cfg:2: unknown setting 'Schedule'"},
      // End of file: [mail].
      {"[mail]\n", "[mail]: 'smtp-host' is required"},
      {"[mail]\nsmtp-host = mx\nto = a@b\n", "[mail]: 'from' is required"},
      {"[mail]\nsmtp-host = mx\nfrom = a@b\nto = ,\n", "[mail]: 'to' is required"},
      {std::string(kMail) + "smtp-user = u\n",
       "[mail]: 'smtp-user' and 'smtp-password' must be set together"},
      {std::string(kMail) + "smtp-password = p\n",
       "[mail]: 'smtp-user' and 'smtp-password' must be set together"},
      {std::string(kMail) + "tls = none\nsmtp-user = u\nsmtp-password = p\n",
       "[mail]: 'smtp-password' needs tls=starttls or tls=smtps (it would be sent in clear text)"},
      {std::string(kMail) + "smtp-user = u\nsmtp-password = file:\n",
       "[mail]: 'smtp-password': file: needs a path"},
      {std::string(kMail) + "smtp-user = u\nsmtp-password = kms:\n",
       "[mail]: 'smtp-password': kms: needs a url"},
      {std::string(kMail) + "smtp-user = u\nsmtp-password = kms:https://k/x\n",
       "[mail]: 'smtp-password': kms: is not supported yet"},
      {std::string(kMail) + "smtp-user = u\nsmtp-password = file:/nonexistent/pw\n",
       "[mail]: 'smtp-password': cannot read it (file missing/unreadable, or not 1..64 "
       "characters)"},
      {std::string(kMail) + "smtp-user = u\nsmtp-password = " + std::string(65, 'p') + "\n",
       "[mail]: 'smtp-password': cannot read it (file missing/unreadable, or not 1..64 "
       "characters)"},
      // End of file: jobs, in the order of the checks.
      {"[j]\nschedule = * * * * *\nonce = 1\n",
       "[j]: 'schedule' and 'once' are mutually exclusive"},
      {"[j]\ncommand = verify\n",
       "[j]: needs at least one of 'schedule', 'once' or 'after' (or set enabled=no)"},
      {std::string(kJob) + "after-mode = finished\n", "[j]: 'after-mode' requires 'after'"},
      {std::string(kJob) + "notify = always\n", "[j]: 'notify' needs a [mail] section"},
      {std::string(kJob) + "command = restore\nprofile = p\nrun-background = yes\n",
       "[j]: 'profile' is not applicable to command=restore; put whatever "
       "--name/--uuid/--job/--meta this command needs directly in 'args'"},
      {std::string(kJob) + "command = verify\nstart-background = no\nrun-background = yes\n",
       "[j]: 'run-background' is not applicable to command=verify (only agent, proxmox and xenv "
       "take --background)"},
      {std::string(kJob) + "command = maint-scrub\nstart-background = no\nretention = 1d\n",
       "[j]: 'start-background' is not applicable to command=maint-scrub (only agent, proxmox "
       "and xenv take --background)"},
      {std::string(kJob) + "command = xenv-restore\nretention-class = a\nretention = 1d\n",
       "[j]: 'retention' is not applicable to command=xenv-restore (only agent, proxmox and xenv "
       "take a retention)"},
      {std::string(kJob) + "command = maint-prune\nretention-class = a\n",
       "[j]: 'retention-class' is not applicable to command=maint-prune (only agent, proxmox and "
       "xenv take a retention)"},
      {std::string(kJob) + "retention-class = a\n", "[j]: 'retention-class' requires 'retention'"},
      {std::string(kJob) + "retention = 1d\nargs = --retention-class=x\n",
       "[j]: set the retention either with 'retention'/'retention-class' or in 'args', not both"},
      {std::string(kJob) + "retention = 1d\nargs = -v --retention 2d\n",
       "[j]: set the retention either with 'retention'/'retention-class' or in 'args', not both"},
      {"[j]\nafter = j\n", "[j]: 'after' cannot reference itself"},
      {"[j]\nafter = k, j\n[k]\nenabled = no\n", "[j]: 'after' cannot reference itself"},
      {"[j]\nafter = K\n[k]\nenabled = no\n", "[j]: 'after' references unknown job 'K'"},
      {"[a]\nafter = b\n[b]\nafter = a\n", "cycle in 'after': a -> b -> a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 120));
    auto l = load(c.text);
    EXPECT_EQ(l->rc, c.want.empty() ? 0 : -1);
    EXPECT_EQ(l->msg, c.want);
  }
}

TEST(ConfigLoadText, TokenizerMessagesGetFileAndLine) {
  std::string many;
  for (int i = 0; i < 65; ++i) {
    many += " t";
  }
  auto l = load("[j]\nenabled = no\nargs =" + many + "\n");
  EXPECT_EQ(l->msg, "t.cfg:3: too many tokens in 'args'");
  l = load("[j]\nenabled = no\nargs =" + many.substr(2) + "\n");
  EXPECT_EQ(l->rc, 0) << l->msg;
  EXPECT_EQ(l->cfg->jobs[0].args_token_count, 64);
  l = load("[j]\nargs = \"" + std::string(1024, 'x') + "\"\n");
  EXPECT_EQ(l->msg, "t.cfg:2: 'args' too long");
  l = load("[j]\nargs = x " + std::string(1022, 'x') + "\n");
  EXPECT_EQ(l->msg, "t.cfg:2: 'args' too long");
}

TEST(ConfigLoadText, EmptyFileHasDefaults) {
  for (const char* text : {"", "\n\n# comment\n; other\n   \t\n"}) {
    SCOPED_TRACE(text);
    auto l = load(text);
    ASSERT_EQ(l->rc, 0) << l->msg;
    const SchedConfig& cfg = *l->cfg;
    EXPECT_EQ(cfg.job_count, 0u);
    EXPECT_EQ(cfg.mail.enabled, 0u);
    EXPECT_EQ(cfg.api.present, 0u);
    EXPECT_EQ(cfg.api.enabled, 0u);
    EXPECT_STREQ(cfg.api.listen_address, "0.0.0.0");
    EXPECT_EQ(cfg.api.listen_port, 8447u);
    EXPECT_STREQ(cfg.api.cert, "/etc/vrk/vrk_sched_api.crt");
    EXPECT_EQ(cfg.api.allowed_commands, 0x3C7u);
    EXPECT_EQ(cfg.api.max_clients, 16u);
    EXPECT_EQ(cfg.api.history_keep, 20u);
  }
}

constexpr const char* kFull =
    "# full example\n"
    "[sched]\n"
    "poll-interval = 30\n"
    "busy-retry-seconds = 600\n"
    "job-timeout-seconds = 4294967295\n"
    "job-log-dir = /var/tmp/logs dir\n"
    "job-log-keep = 7\n"
    "[mail]\n"
    "smtp-host = mail.example.org\n"
    "tls = smtps\n"
    "from = backup@example.org\n"
    "to = a@x,, b@y ,\n"
    "ca-file = /etc/ca.pem\n"
    "notify = failed\n"
    "[api]\n"
    "enabled = yes\n"
    "listen = [::1]:9000\n"
    "allowed-commands = agent, maint-prune\n"
    "max-clients = 256\n"
    "history-keep = 0\n"
    "allow-args = No\n"
    "[nightly]\n"
    "command = proxmox\n"
    "profile = vm-100\n"
    "args = --x \"1 2\" ; note\n"
    "schedule = 0 3 * * 1-5\n"
    "retention = 30d\n"
    "retention-class = gold_1\n"
    "notify = always\n"
    "run-background = yes\n"
    "timeout-seconds = 0\n"
    "[verify]\n"
    "command = verify\n"
    "after = nightly\n"
    "after-mode = finished\n"
    "enabled = false\n";

TEST(ConfigLoadText, FillsEveryField) {
  auto l = load(kFull);
  ASSERT_EQ(l->rc, 0) << l->msg;
  const SchedConfig& cfg = *l->cfg;
  EXPECT_EQ(cfg.poll_interval, 30u);
  EXPECT_EQ(cfg.busy_retry_seconds, 600u);
  EXPECT_EQ(cfg.job_timeout_seconds, 4294967295u);
  EXPECT_STREQ(cfg.job_log_dir, "/var/tmp/logs dir");
  EXPECT_EQ(cfg.job_log_keep, 7u);
  EXPECT_EQ(cfg.mail.enabled, 1u);
  EXPECT_STREQ(cfg.mail.smtp_host, "mail.example.org");
  EXPECT_EQ(cfg.mail.tls_mode, kMailTlsSmtps);
  EXPECT_EQ(cfg.mail.smtp_port, 465u);
  EXPECT_EQ(cfg.mail.timeout_seconds, 60u);
  ASSERT_EQ(cfg.mail.recipient_count, 2);
  EXPECT_STREQ(cfg.mail.recipients[0], "a@x");
  EXPECT_STREQ(cfg.mail.recipients[1], "b@y");
  EXPECT_STREQ(cfg.mail.ca_file, "/etc/ca.pem");
  EXPECT_EQ(cfg.mail_notify_default, static_cast<uint32_t>(kNotifyFailed));
  EXPECT_EQ(cfg.api.present, 1u);
  EXPECT_EQ(cfg.api.enabled, 1u);
  EXPECT_STREQ(cfg.api.listen_address, "::1");
  EXPECT_EQ(cfg.api.listen_port, 9000u);
  EXPECT_EQ(cfg.api.allowed_commands, (1u << 0) | (1u << 10));
  EXPECT_EQ(cfg.api.max_clients, 256u);
  EXPECT_EQ(cfg.api.history_keep, 0u);
  EXPECT_EQ(cfg.api.allow_args, 0u);
  EXPECT_EQ(cfg.api.allow_config_write, 1u);
  ASSERT_EQ(cfg.job_count, 2u);
  const JobConfig& n = cfg.jobs[0];
  EXPECT_STREQ(n.name, "nightly");
  EXPECT_EQ(n.command, CommandKind::kProxmox);
  EXPECT_STREQ(n.profile, "vm-100");
  EXPECT_STREQ(n.args_text, "--x \"1 2\"");
  ASSERT_EQ(n.args_token_count, 2);
  EXPECT_STREQ(n.args_tokens[0], "--x");
  EXPECT_STREQ(n.args_tokens[1], "1 2");
  EXPECT_EQ(n.has_schedule, 1u);
  EXPECT_STREQ(n.schedule_text, "0 3 * * 1-5");
  EXPECT_EQ(n.schedule.flags[kCronHourOffset + 3], 1);
  EXPECT_EQ(n.schedule.flags[kCronDowOffset + 6], 0);
  EXPECT_STREQ(n.retention, "30d");
  EXPECT_STREQ(n.retention_class, "gold_1");
  EXPECT_EQ(n.notify, kNotifyAlways);
  EXPECT_EQ(n.run_background, 1);
  EXPECT_EQ(n.start_background, -1);
  EXPECT_EQ(n.enabled, 1u);
  const JobConfig& v = cfg.jobs[1];
  EXPECT_EQ(v.command, CommandKind::kVerify);
  ASSERT_EQ(v.after_count, 1);
  EXPECT_STREQ(v.after[0], "nightly");
  EXPECT_EQ(v.after_mode, kAfterModeFinished);
  EXPECT_EQ(v.after_mode_given, 1u);
  EXPECT_EQ(v.enabled, 0u);
  EXPECT_EQ(v.notify, kNotifyUnset);
}

TEST(ConfigLoadText, ByteOrderMarkAndSectionNameBytes) {
  struct Case {
    std::string text;
    std::string name;  // of the only job
  };
  const std::vector<Case> cases = {
      {"\xEF\xBB\xBF[j]\nenabled = no\n", "j"},
      {"\xEF\xBB\xBF\r\n[j]\nenabled = no\n", "j"},
      {"\xEF\xBB\xBF# note\n[j]\nenabled = no\n", "j"},
      {"\xEF\xBB\xBF  [ j ]\nenabled = no\n", "j"},
      {"[\tj \t]\nenabled = no\n", "j"},
      {"[\xC3\xA9t\xC3\xA9 ~!]\nenabled = no\n", "\xC3\xA9t\xC3\xA9 ~!"},
      {"[\x20\x7e]\nenabled = no\n", "~"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto l = load(c.text);
    ASSERT_EQ(l->rc, 0) << l->msg;
    ASSERT_EQ(l->cfg->job_count, 1u);
    EXPECT_EQ(std::string(l->cfg->jobs[0].name), c.name);
  }
}

TEST(ConfigLoadText, CrLfLoadsLikeLf) {
  std::string crlf;
  for (const char* p = kFull; *p != '\0'; ++p) {
    if (*p == '\n') {
      crlf += '\r';
    }
    crlf += *p;
  }
  auto a = load(kFull);
  auto b = load(crlf);
  ASSERT_EQ(b->rc, 0) << b->msg;
  EXPECT_EQ(memcmp(a->cfg->jobs[0].args_text, b->cfg->jobs[0].args_text, kArgsTextSize), 0);
  EXPECT_STREQ(b->cfg->jobs[1].name, "verify");
  EXPECT_STREQ(b->cfg->mail.recipients[1], "b@y");
  EXPECT_STREQ(b->cfg->api.listen_address, "::1");
}

TEST(ConfigLoadText, QuotingAndComments) {
  struct Case {
    std::string line;
    std::string want;  // the profile as stored
  };
  const std::vector<Case> cases = {
      {"profile = \"a;b\" # note", "a;b"},
      {"profile = a;b", "a;b"},
      {"profile = a ;b", "a"},
      {"profile = a\t#b", "a"},
      {"profile = a#b", "a#b"},
      {"profile =#b", "#b"},
      {"profile = \" a \"", " a "},
      {"profile = 'x \\\" y'", "x \\\" y"},
      {"profile = \"x \\\" \\\\ \\n\"", "x \" \\ \\n"},
      {"profile = \"q\";c", "q"},
      {"profile = a \"b\" c", "a \"b\" c"},
      {"profile = a=b", "a=b"},
      {"  profile   =   v  ", "v"},
      {"profile = v # c \"unbalanced", "v"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    auto l = load("[j]\nenabled = no\n" + c.line + "\n");
    ASSERT_EQ(l->rc, 0) << l->msg;
    EXPECT_EQ(std::string(l->cfg->jobs[0].profile), c.want);
  }
}

TEST(ConfigLoadText, LineLengthLimits) {
  // A comment line of n bytes before its end.
  auto with_line = [](size_t n, const char* end) {
    return std::string(kJob) + "#" + std::string(n - 1, 'c') + end;
  };
  EXPECT_EQ(load(with_line(2046, "\n"))->rc, 0);
  EXPECT_EQ(load(with_line(2047, "\n"))->msg, "t.cfg:3: line too long");
  EXPECT_EQ(load(with_line(2045, "\r\n"))->rc, 0);
  EXPECT_EQ(load(with_line(2047, ""))->rc, 0);
  EXPECT_EQ(load(with_line(2048, ""))->msg, "t.cfg:3: line too long");
  EXPECT_EQ(load(with_line(2046, "\n") + "[k]\nenabled = no\n")->cfg->job_count, 2u);
}

TEST(ConfigLoadText, NameAndCountLimits) {
  auto l = load("[" + std::string(127, 'n') + "]\nenabled = no\n");
  ASSERT_EQ(l->rc, 0) << l->msg;
  EXPECT_EQ(std::string(l->cfg->jobs[0].name), std::string(127, 'n'));
  l = load(jobs(256));
  ASSERT_EQ(l->rc, 0) << l->msg;
  EXPECT_EQ(l->cfg->job_count, 256u);
  EXPECT_STREQ(l->cfg->jobs[255].name, "j255");
  l = load("[mail]\nsmtp-host = mx\nfrom = a@b\n" + addresses(15, "last@x"));
  ASSERT_EQ(l->rc, 0) << l->msg;
  EXPECT_EQ(l->cfg->mail.recipient_count, 16);
  EXPECT_STREQ(l->cfg->mail.recipients[15], "last@x");
  l = load("[Sched]\nenabled = no\n[my job]\nenabled = no\n");
  ASSERT_EQ(l->rc, 0) << l->msg;
  EXPECT_STREQ(l->cfg->jobs[0].name, "Sched");
  EXPECT_STREQ(l->cfg->jobs[1].name, "my job");
  EXPECT_EQ(l->cfg->jobs[0].command, CommandKind::kAgent);
}

TEST(ConfigLoadText, ListenForms) {
  struct Case {
    const char* value;
    const char* want_address;  // nullptr: refused
    uint32_t want_port;
  };
  const Case cases[] = {
      {"8447", "0.0.0.0", 8447},
      {"127.0.0.1:80", "127.0.0.1", 80},
      {"[::1]:8447", "::1", 8447},
      {"[127.0.0.1]:1", "127.0.0.1", 1},
      {"0.0.0.0:65535", "0.0.0.0", 65535},
      {"::1:8447", nullptr, 0},
      {"localhost:80", nullptr, 0},
      {"[localhost]:80", nullptr, 0},
      {"[::1]8447", nullptr, 0},
      {"[::1]:", nullptr, 0},
      {"[]:80", nullptr, 0},
      {"[::1:80", nullptr, 0},
      {":80", nullptr, 0},
      {"1.2.3.4:0", nullptr, 0},
      {"1.2.3.4:65536", nullptr, 0},
      {"1.2.3.4:+80", nullptr, 0},
      {"0", nullptr, 0},
      {"1.2.3.4", nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    auto l = load(std::string("[api]\nlisten = ") + c.value + "\n");
    if (c.want_address == nullptr) {
      EXPECT_EQ(l->msg,
                "t.cfg:2: 'listen' must be <address>:<port>, [<ipv6>]:<port> or <port> (numeric "
                "address)");
      continue;
    }
    ASSERT_EQ(l->rc, 0) << l->msg;
    EXPECT_STREQ(l->cfg->api.listen_address, c.want_address);
    EXPECT_EQ(l->cfg->api.listen_port, c.want_port);
  }
}

TEST(ConfigLoadText, AllowedCommands) {
  auto l = load("[api]\nallowed-commands = none\n");
  EXPECT_EQ(l->cfg->api.allowed_commands, 0u);
  l = load("[api]\nallowed-commands = agent\n");
  EXPECT_EQ(l->cfg->api.allowed_commands, 1u);
  l = load("[api]\nallowed-commands = ,restore,,restore ,maint-scrub\n");
  EXPECT_EQ(l->cfg->api.allowed_commands, (1u << 3) | (1u << 9));
}

TEST(ConfigLoadText, MailPortDefaults) {
  struct Case {
    const char* extra;
    uint32_t want_port;
  };
  const Case cases[] = {
      {"", 587},
      {"tls = starttls\n", 587},
      {"tls = smtps\n", 465},
      {"tls = none\n", 25},
      {"tls = none\nsmtp-port = 2525\n", 2525},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extra);
    auto l = load(std::string(kMail) + c.extra);
    ASSERT_EQ(l->rc, 0) << l->msg;
    EXPECT_EQ(l->cfg->mail.smtp_port, c.want_port);
  }
}

class ConfigLoadTz : public testing::Test {
 protected:
  void SetUp() override {
    const char* old = getenv("TZ");
    had_ = old != nullptr;
    old_ = had_ ? old : "";
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
  }
  void TearDown() override {
    if (had_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  bool had_ = false;
  std::string old_;
};

TEST_F(ConfigLoadTz, OnceForms) {
  struct Case {
    const char* value;
    int64_t want;  // -1: refused
  };
  const Case cases[] = {
      {"1772328600", 1772328600},
      {"0", 0},
      {"2026-03-01T02:30", 1772328600},
      {"2026-03-01t02:30:15", 1772328615},
      {"2026-03-01 02:30:15", 1772328615},
      {"2026-02-30T02:30", 1772415000},         // normalised to 2 March
      {"2026-03-01T02:30:15.250", 1772328615},  // after the seconds: ignored
      {"2026-03-01T02:30:00Z", -1},
      {"2026-03-01T02:30:00z", -1},
      {"2026-03-01T02:30:00+01:00", -1},
      {"2026-03-01T02:30:00-05:00", -1},
      {"2026-03-01T02:30-05:00", -1},
      {"2026-03-01T02:30:00 -0500", -1},
      {"2026-03-01T02", -1},
      {"2026-03-01", -1},
      {"yesterday", -1},
      {"-5", -1},
      {"99999999999999999999", -1},
      {"99999999999-03-01T02:30", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    auto l = load(std::string("[j]\nonce = ") + c.value + "\n");
    if (c.want < 0) {
      EXPECT_EQ(l->msg, std::string("t.cfg:2: invalid 'once' timestamp '") + c.value +
                            "' (expected unix seconds or YYYY-MM-DDTHH:MM:SS local time, no "
                            "timezone suffix)");
      continue;
    }
    ASSERT_EQ(l->rc, 0) << l->msg;
    EXPECT_EQ(l->cfg->jobs[0].has_once, 1u);
    EXPECT_EQ(l->cfg->jobs[0].once_time, c.want);
    EXPECT_STREQ(l->cfg->jobs[0].once_text, c.value);
  }
}

class ConfigLoadFile : public testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = getenv("TMPDIR");
    dir_ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/config_load_XXXXXX";
    ASSERT_NE(mkdtemp(dir_.data()), nullptr);
  }
  void TearDown() override {
    for (const std::string& f : files_) {
      unlink(f.c_str());
    }
    rmdir(dir_.c_str());
  }
  std::string write(const char* name, std::string_view text) {
    std::string p = dir_ + "/" + name;
    FILE* f = fopen(p.c_str(), "w");
    EXPECT_NE(f, nullptr);
    if (f != nullptr) {
      fwrite(text.data(), 1, text.size(), f);
      fclose(f);
    }
    files_.push_back(p);
    return p;
  }
  std::string dir_;
  std::vector<std::string> files_;
};

TEST_F(ConfigLoadFile, ReadsFileAndPasswordFile) {
  std::string pw = write("pw", "s3cret pass\n");
  std::string cfg_path = write(
      "c.cfg", std::string(kMail) + "smtp-user = u\nsmtp-password = file:" + pw + "\n" + kJob);
  auto cfg = std::make_unique<SchedConfig>();
  char err[kConfigErrSize];
  ASSERT_EQ(config_load(cfg_path.c_str(), *cfg, err), 0) << err;
  EXPECT_TRUE(std::string(cfg->mail.smtp_password) == "s3cret pass");
  EXPECT_EQ(cfg->job_count, 1u);
  config_free(*cfg);
  EXPECT_EQ(cfg->mail.smtp_password[0], '\0');

  std::string literal =
      write("l.cfg", std::string(kMail) + "smtp-user = u\nsmtp-password = 'p w'\n");
  ASSERT_EQ(config_load(literal.c_str(), *cfg, err), 0) << err;
  EXPECT_TRUE(std::string(cfg->mail.smtp_password) == "p w");
  config_free(*cfg);

  for (const std::string& content : {std::string(), std::string(" \t\n"), std::string(65, 'p')}) {
    SCOPED_TRACE(content.size());
    write("pw", content);
    EXPECT_EQ(config_load(cfg_path.c_str(), *cfg, err), -1);
    EXPECT_STREQ(err,
                 "[mail]: 'smtp-password': cannot read it (file missing/unreadable, or not 1..64 "
                 "characters)");
    config_free(*cfg);
  }
}

TEST_F(ConfigLoadFile, LongFileThroughTheChunkedReader) {
  // Much larger than one read buffer, with a 2046-byte line across a chunk boundary.
  std::string text = jobs(256);
  text.insert(text.find('\n', text.size() / 2) + 1, "#" + std::string(2045, 'c') + "\n");
  std::string p = write("big.cfg", text);
  auto cfg = std::make_unique<SchedConfig>();
  char err[kConfigErrSize];
  ASSERT_EQ(config_load(p.c_str(), *cfg, err), 0) << err;
  EXPECT_EQ(cfg->job_count, 256u);
  config_free(*cfg);
  p = write("long.cfg", std::string(kJob) + std::string(20000, '#'));
  EXPECT_EQ(config_load(p.c_str(), *cfg, err), -1);
  EXPECT_EQ(std::string(err), p + ":3: line too long");
  config_free(*cfg);
}

TEST_F(ConfigLoadFile, UnreadableIsAnErrorNotAnEmptyFile) {
  auto cfg = std::make_unique<SchedConfig>();
  char err[kConfigErrSize];
  std::string missing = dir_ + "/missing.cfg";
  EXPECT_EQ(config_load(missing.c_str(), *cfg, err), -1);
  EXPECT_EQ(std::string(err), "cannot read the configuration file " + missing);
  // A directory opens, but reading it fails: that must not load as an empty configuration.
  EXPECT_EQ(config_load(dir_.c_str(), *cfg, err), -1);
  EXPECT_EQ(std::string(err), "cannot read the configuration file " + dir_);
  config_free(*cfg);
}

std::string read_all(const std::string& path) {
  std::string out;
  FILE* f = fopen(path.c_str(), "r");
  if (f == nullptr) {
    return out;
  }
  char buf[512];
  size_t n = 0;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) {
    out.append(buf, n);
  }
  fclose(f);
  return out;
}

// Runs cmd_validate in a child whose standard output and error go to files.
struct ValidateRun {
  int status = -1;
  std::string out;
  std::string err;
};

ValidateRun run_validate(const std::string& dir, const std::string& config) {
  std::string out_path = dir + "/out";
  std::string err_path = dir + "/err";
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    alarm(20);  // a load that hangs ends the child and fails the test
    int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) {
      _exit(99);
    }
    int rc = cmd_validate(config.c_str());
    fflush(nullptr);
    _exit(rc);
  }
  ValidateRun r;
  int st = 0;
  if (pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st)) {
    r.status = WEXITSTATUS(st);
  }
  r.out = read_all(out_path);
  r.err = read_all(err_path);
  unlink(out_path.c_str());
  unlink(err_path.c_str());
  return r;
}

TEST_F(ConfigLoadFile, ValidateReportsJobCountOrTheLoadError) {
  std::string good = write("good.cfg", "[a]\nschedule = 0 1 * * *\n[b]\nafter = a\nargs = -v\n");
  ValidateRun r = run_validate(dir_, good);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "OK: 2 job(s)\n");
  EXPECT_EQ(r.err, "");

  std::string empty = write("empty.cfg", "");
  r = run_validate(dir_, empty);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "OK: 0 job(s)\n");

  std::string bad = write("bad.cfg", "[a]\nschedule = 0 1 * *\n");
  r = run_validate(dir_, bad);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "error: " + bad +
                       ":2: invalid 'schedule': expected 5 fields (minute hour day-of-month "
                       "month day-of-week), got 4\n");

  r = run_validate(dir_, dir_ + "/none.cfg");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "error: cannot read the configuration file " + dir_ + "/none.cfg\n");
}

TEST_F(ConfigLoadFile, OnlyARegularFileIsAConfiguration) {
  // Opening a FIFO for reading would wait for a writer: refused at once, like a directory.
  std::string fifo = dir_ + "/fifo.cfg";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  files_.push_back(fifo);
  for (const std::string& path : {fifo, dir_}) {
    SCOPED_TRACE(path);
    ValidateRun r = run_validate(dir_, path);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "error: cannot read the configuration file " + path + "\n");
  }
  // A regular file still reads normally after the check, a leading byte order mark skipped.
  std::string p = write("bom.cfg", "\xEF\xBB\xBF[sched]\npoll-interval = 7\n" + jobs(200));
  auto cfg = std::make_unique<SchedConfig>();
  char err[kConfigErrSize];
  ASSERT_EQ(config_load(p.c_str(), *cfg, err), 0) << err;
  EXPECT_EQ(cfg->poll_interval, 7u);
  EXPECT_EQ(cfg->job_count, 200u);
  config_free(*cfg);
}

}  // namespace
}  // namespace vrk
