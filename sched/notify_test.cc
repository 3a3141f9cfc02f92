#include "sched/notify.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/fd.h"
#include "common/ipc.h"
#include "common/test_tz.h"
#include "sched/net_supervisor.h"

namespace vrk {
namespace {

constexpr int64_t kStart = 1700000000;  // 2023-11-14 22:13:20 UTC

class NotifyTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = getenv("TMPDIR");
    dir_ = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/vrk_notify_XXXXXX";
    ASSERT_NE(mkdtemp(dir_.data()), nullptr);
  }
  void TearDown() override {
    for (const std::string& f : files_) {
      unlink(f.c_str());
    }
    rmdir(dir_.c_str());
  }
  static void set_tz(const char* tz) { TestTz::set(tz); }
  std::string write_log(const std::string& name, const std::string& text) {
    std::string path = dir_ + "/" + name;
    FILE* f = fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (f != nullptr) {
      fwrite(text.data(), 1, text.size(), f);
      fclose(f);
    }
    files_.push_back(path);
    return path;
  }

  static RunResult result(uint32_t outcome, int32_t exit_code, int64_t seconds,
                          const std::string& log = "") {
    RunResult r;
    r.result = outcome;
    r.start = kStart;
    r.finish = kStart + seconds;
    r.exit_code = exit_code;
    snprintf(r.command, sizeof r.command, "vrk_agent backup --profile web");
    snprintf(r.job_log, sizeof r.job_log, "%s", log.c_str());
    return r;
  }

  static std::string body_of(const RunResult& r, size_t size = kNotifyBodySize) {
    std::vector<char> body(size);
    char subject[kNotifySubjectSize];
    notify_compose("nightly", "backup1", r, subject, body);
    return body.data();
  }

  TestTz tz_{"UTC"};
  std::string dir_;
  std::vector<std::string> files_;
};

std::string fixed_part(const char* result, const char* exit_code, const char* command,
                       const char* started, const char* finished, const char* duration,
                       const std::string& log) {
  return std::string("Job:       nightly\nHost:      backup1\nResult:    ") + result +
         "\nExit code: " + exit_code + "\nCommand:   " + command + "\nStarted:   " + started +
         "\nFinished:  " + finished + "\nDuration:  " + duration + "\nJob log:   " + log + "\n";
}

std::string numbered_lines(int from, int to) {
  std::string s;
  for (int i = from; i <= to; ++i) {
    s += "line " + std::to_string(i) + "\n";
  }
  return s;
}

TEST_F(NotifyTest, SubjectAndFixedFields) {
  struct Case {
    const char* name;
    RunResult r;
    const char* tz;
    std::string want_subject;
    std::string want_body;
  };
  RunResult timed_out = result(kRunFailed, -1, 90061);
  timed_out.timed_out = 1;
  RunResult no_argv = result(kRunFailed, -1, 0);
  snprintf(no_argv.command, sizeof no_argv.command, "(cannot build the command line: %s)",
           "unknown profile");
  RunResult backwards = result(kRunDone, 0, -30);
  const Case cases[] = {
      {"done", result(kRunDone, 0, 3725), "UTC", "[arvenna] backup1: job nightly DONE",
       fixed_part("DONE", "0", "vrk_agent backup --profile web", "2023-11-14 22:13:20 UTC",
                  "2023-11-14 23:15:25 UTC", "1h 02m 05s", "(none)")},
      {"failed and timed out", timed_out, "UTC", "[arvenna] backup1: job nightly FAILED",
       fixed_part("FAILED", "-1 (timed out)", "vrk_agent backup --profile web",
                  "2023-11-14 22:13:20 UTC", "2023-11-15 23:14:21 UTC", "25h 01m 01s", "(none)")},
      {"no command line", no_argv, "UTC", "[arvenna] backup1: job nightly FAILED",
       fixed_part("FAILED", "-1", "(cannot build the command line: unknown profile)",
                  "2023-11-14 22:13:20 UTC", "2023-11-14 22:13:20 UTC", "0h 00m 00s", "(none)")},
      {"local winter time", result(kRunFailed, 3, 59), "Europe/Berlin",
       "[arvenna] backup1: job nightly FAILED",
       fixed_part("FAILED", "3", "vrk_agent backup --profile web", "2023-11-14 23:13:20 CET",
                  "2023-11-14 23:14:19 CET", "0h 00m 59s", "(none)")},
      {"clock stepped back", backwards, "UTC", "[arvenna] backup1: job nightly DONE",
       fixed_part("DONE", "0", "vrk_agent backup --profile web", "2023-11-14 22:13:20 UTC",
                  "2023-11-14 22:12:50 UTC", "0h 00m 00s", "(none)")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    set_tz(c.tz);
    char subject[kNotifySubjectSize];
    std::vector<char> body(kNotifyBodySize);
    notify_compose("nightly", "backup1", c.r, subject, body);
    EXPECT_STREQ(subject, c.want_subject.c_str());
    EXPECT_EQ(std::string(body.data()), c.want_body);
  }
}

TEST_F(NotifyTest, SummerTimeZoneName) {
  set_tz("Europe/Berlin");
  RunResult r = result(kRunDone, 0, 1);
  r.start = 1719792000;  // 2024-07-01 00:00:00 UTC
  r.finish = r.start + 1;
  EXPECT_NE(body_of(r).find("Started:   2024-07-01 02:00:00 CEST\n"), std::string::npos);
}

TEST_F(NotifyTest, JobLogTail) {
  std::string nul_text("a\0b\n", 4);
  std::string long_lines;
  for (int i = 0; i < 10; ++i) {
    long_lines += std::string(1999, static_cast<char>('a' + i)) + "\n";
  }
  struct Case {
    const char* name;
    bool exists;
    std::string text;
    std::string want_tail;
  };
  const Case cases[] = {
      {"missing", false, "", ""},
      {"empty", true, "", ""},
      {"20 lines whole", true, numbered_lines(1, 20), numbered_lines(1, 20)},
      {"exactly 40", true, numbered_lines(1, 40), numbered_lines(1, 40)},
      {"41 lines", true, numbered_lines(1, 41), numbered_lines(2, 41)},
      {"100000 lines", true, numbered_lines(1, 100000), numbered_lines(99961, 100000)},
      {"no final newline", true, numbered_lines(1, 45) + "tail", numbered_lines(7, 45) + "tail"},
      {"NUL bytes", true, nul_text, "a b\n"},
      // The window holds fewer than 40 newlines: all of it, starting inside a line.
      {"window of 16384 bytes", true, long_lines, long_lines.substr(long_lines.size() - 16384)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir_ + "/missing.log";
    if (c.exists) {
      path = write_log(std::to_string(files_.size()) + ".log", c.text);
    }
    std::string body = body_of(result(kRunDone, 0, 1, path));
    const std::string head = "Job log:   " + path + "\n\n--- last lines of the job log ---\n";
    size_t at = body.find(head);
    ASSERT_NE(at, std::string::npos) << body;
    EXPECT_EQ(body.substr(at + head.size()), c.want_tail);
  }
}

TEST_F(NotifyTest, CutToTheBuffers) {
  std::string path = write_log("big.log", numbered_lines(1, 40));
  std::string full = body_of(result(kRunDone, 0, 1, path));
  const size_t sizes[] = {1, 50, full.size(), full.size() + 1};
  for (size_t size : sizes) {
    SCOPED_TRACE(size);
    std::string cut = body_of(result(kRunDone, 0, 1, path), size);
    EXPECT_EQ(cut, full.substr(0, size - 1));
  }
  std::string host(300, 'h');
  char subject[kNotifySubjectSize];
  char body[64];
  notify_compose(std::string(300, 'j').c_str(), host.c_str(), result(kRunDone, 0, 1), subject,
                 body);
  EXPECT_EQ(strlen(subject), sizeof subject - 1);
  EXPECT_EQ(strlen(body), sizeof body - 1);
}

// Which runs are reported, through a supervisor whose child end is a socket pair.
TEST_F(NotifyTest, DaemonHandsOverWantedReportsOnly) {
  auto cfg = std::make_unique<SchedConfig>();
  config_reset(*cfg);
  JobConfig job;
  config_job_reset(job);
  snprintf(job.name, sizeof job.name, "nightly");
  struct Case {
    const char* name;
    uint32_t mail;
    int32_t notify;
    uint32_t outcome;
    bool sent;
  };
  const Case cases[] = {
      {"busy never", 1, kNotifyAlways, kRunBusy, false},
      {"always done", 1, kNotifyAlways, kRunDone, true},
      {"failed only, done", 1, kNotifyFailed, kRunDone, false},
      {"failed only, failed", 1, kNotifyFailed, kRunFailed, true},
      {"never", 1, kNotifyNever, kRunFailed, false},
      {"no [mail]", 0, kNotifyAlways, kRunFailed, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cfg->mail.enabled = c.mail;
    job.notify = c.notify;
    NetSupervisor net;
    net_init(net);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
    net.socket.reset(sv[0]);
    UniqueFd peer(sv[1]);
    notify_job_result(*cfg, job, result(c.outcome, 0, 1), &net);
    struct pollfd p = {peer.get(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, c.sent ? 5000 : 0), c.sent ? 1 : 0);
    if (c.sent) {
      IpcBuffer buf;
      IpcMessage msg;
      ASSERT_EQ(ipc_recv(peer.get(), buf, true), kIpcRecvMessage);
      ASSERT_EQ(ipc_parse_header(buf, msg), 0);
      std::vector<char> subject(kIpcMailSubjectSize), body(kIpcMailBodySize);
      char err[128];
      ASSERT_EQ(ipc_parse_mail_send(msg, subject, body, err), 0) << err;
      char host[kNotifyHostSize];
      notify_host_name(host);
      EXPECT_EQ(std::string(subject.data()), std::string("[arvenna] ") + host + ": job nightly " +
                                                 (c.outcome == kRunFailed ? "FAILED" : "DONE"));
      EXPECT_EQ(std::string(body.data()).rfind("Job:       nightly\n", 0), 0u);
    }
    net_shutdown(net);
  }
}

TEST_F(NotifyTest, OneShotFailureIsLogged) {
  auto cfg = std::make_unique<SchedConfig>();
  config_reset(*cfg);
  cfg->mail.enabled = 1;
  JobConfig job;
  config_job_reset(job);
  snprintf(job.name, sizeof job.name, "nightly");
  job.notify = kNotifyAlways;
  setenv("VRK_SCHED_NET_BIN", "/nonexistent/vrk_sched_net", 1);
  fflush(stderr);
  char path[] = "/tmp/vrk_notifylog_XXXXXX";
  UniqueFd log(mkostemp(path, O_CLOEXEC));
  unlink(path);
  UniqueFd saved(dup(STDERR_FILENO));
  dup2(log.get(), STDERR_FILENO);
  notify_job_result(*cfg, job, result(kRunDone, 0, 1), nullptr);
  fflush(stderr);
  dup2(saved.get(), STDERR_FILENO);
  unsetenv("VRK_SCHED_NET_BIN");
  char text[4096] = {};
  ASSERT_GT(pread(log.get(), text, sizeof text - 1, 0), 0);
  EXPECT_NE(strstr(text,
                   " ERROR vrk_sched: notification mail for job 'nightly' not sent: cannot start "
                   "the network process vrk_sched_net (see the log)\n"),
            nullptr)
      << text;
}

}  // namespace
}  // namespace vrk
