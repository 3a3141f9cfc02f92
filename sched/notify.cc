#include "sched/notify.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <new>
#include <string_view>

#include "common/fd.h"
#include "common/log.h"
#include "common/text.h"
#include "sched/net_mail.h"
#include "sched/net_supervisor.h"

namespace vrk {
namespace {

constexpr int kTimeTextSize = 64;
constexpr int kMailReasonSize = 512;

void local_time_text(int64_t when, char (&out)[kTimeTextSize]) {
  time_t t = static_cast<time_t>(when);
  struct tm tm = {};
  out[0] = '\0';
  if (localtime_r(&t, &tm) == nullptr ||
      strftime(out, sizeof out, "%Y-%m-%d %H:%M:%S %Z", &tm) == 0) {
    snprintf(out, sizeof out, "%lld", static_cast<long long>(when));
  }
}

// Appends src at body[len...], cut to the buffer; len follows the text.
void append(std::span<char> body, size_t& len, std::string_view src) {
  if (src.empty() || len + 1 >= body.size()) {
    return;
  }
  text_copy_cut(body.subspan(len), src);
  len += strlen(body.data() + len);
}

// The last 40 lines of the last 16384 bytes of the log, NUL bytes shown as spaces. Empty when
// the log cannot be opened or is empty.
std::string_view log_tail(const char* path, char (&buf)[kNotifyTailBytes]) {
  UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
  struct stat st = {};
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || st.st_size <= 0) {
    return {};
  }
  size_t want =
      static_cast<size_t>(st.st_size) < sizeof buf ? static_cast<size_t>(st.st_size) : sizeof buf;
  off_t from = st.st_size - static_cast<off_t>(want);
  size_t n = 0;
  while (n < want) {
    ssize_t r = pread(fd.get(), buf + n, want - n, from + static_cast<off_t>(n));
    if (r <= 0) {
      break;  // the log shrank or failed: keep what was read
    }
    n += static_cast<size_t>(r);
  }
  for (size_t i = 0; i < n; ++i) {
    if (buf[i] == '\0') {
      buf[i] = ' ';
    }
  }
  // One newline at the very end does not start another line.
  size_t scan = n > 0 && buf[n - 1] == '\n' ? n - 1 : n;
  size_t start = 0;
  int newlines = 0;
  for (size_t i = scan; i > 0; --i) {
    if (buf[i - 1] == '\n' && ++newlines == kNotifyTailLines) {
      start = i;
      break;
    }
  }
  return std::string_view(buf + start, n - start);
}

}  // namespace

void notify_host_name(std::span<char> out) {
  char name[kNotifyHostSize + 1] = {};
  // gethostname may leave a cut name unterminated: keep "localhost" unless it fits whole.
  if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0' &&
      strlen(name) < kNotifyHostSize) {
    text_copy_cut(out, name);
  } else {
    text_copy_cut(out, "localhost");
  }
}

void notify_compose(const char* job_name, const char* host, const RunResult& result,
                    std::span<char> subject, std::span<char> body) {
  const char* word = result.result == kRunFailed ? "FAILED" : "DONE";
  if (!subject.empty()) {
    snprintf(subject.data(), subject.size(), "[arvenna] %s: job %s %s", host, job_name, word);
  }
  if (body.empty()) {
    return;
  }
  char started[kTimeTextSize];
  char finished[kTimeTextSize];
  local_time_text(result.start, started);
  local_time_text(result.finish, finished);
  // A wall clock stepped back during the run would give a negative duration.
  long long d =
      result.finish > result.start ? static_cast<long long>(result.finish - result.start) : 0;
  bool has_log = result.job_log[0] != '\0';
  int n = snprintf(body.data(), body.size(),
                   "Job:       %s\nHost:      %s\nResult:    %s\nExit code: %d%s\n"
                   "Command:   %s\nStarted:   %s\nFinished:  %s\n"
                   "Duration:  %lldh %02lldm %02llds\nJob log:   %s\n",
                   job_name, host, word, static_cast<int>(result.exit_code),
                   result.timed_out != 0 ? " (timed out)" : "", result.command, started, finished,
                   d / 3600, d / 60 % 60, d % 60, has_log ? result.job_log : "(none)");
  if (n < 0) {
    body[0] = '\0';
    return;
  }
  size_t len = strlen(body.data());
  if (!has_log) {
    return;
  }
  append(body, len, "\n--- last lines of the job log ---\n");
  char tail[kNotifyTailBytes];
  append(body, len, log_tail(result.job_log, tail));
}

void notify_job_result(const SchedConfig& config, const JobConfig& job, const RunResult& result,
                       NetSupervisor* net) {
  if (result.result == kRunBusy) {
    return;
  }
  if (!job_wants_notify(config, job, result.result == kRunFailed)) {
    return;
  }
  char host[kNotifyHostSize];
  notify_host_name(host);
  char subject[kNotifySubjectSize];
  std::unique_ptr<char[]> body(new (std::nothrow) char[kNotifyBodySize]);
  if (!body) {
    log_msg(kLogError, "vrk_sched: notification mail for job '%s' not sent: %s", job.name,
            "out of memory");
    return;
  }
  notify_compose(job.name, host, result, subject, std::span<char>(body.get(), kNotifyBodySize));
  if (net != nullptr) {
    (void)net_send_mail(*net, subject, body.get());
    return;
  }
  char text[kMailReasonSize] = "";
  if (net_mail_once(config.mail, subject, body.get(), text) == 0) {
    log_msg(kLogInfo, "vrk_sched: notification mail for job '%s' sent", job.name);
  } else {
    log_msg(kLogError, "vrk_sched: notification mail for job '%s' not sent: %s", job.name, text);
  }
}

}  // namespace vrk
