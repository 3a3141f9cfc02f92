#include "common/log.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>
#include <time.h>

#include <mutex>

#include "common/text.h"

namespace vrk {
namespace {

struct LogState {
  char name[64] = "";
  int min_level = kLogInfo;
  bool to_syslog = false;
};
LogState g_log;
// Both programs are single-threaded; the lock only keeps lines whole should that change.
std::mutex g_log_lock;

int syslog_priority(int level) {
  switch (level) {
    case kLogDebug:
      return LOG_DEBUG;
    case kLogInfo:
      return LOG_INFO;
    case kLogWarn:
      return LOG_WARNING;
    default:
      return LOG_ERR;
  }
}

}  // namespace

void log_init(const char* name, int min_level) {
  text_copy_cut(g_log.name, name ? name : "");
  g_log.min_level = min_level;
}

void log_to_syslog(bool on) {
  g_log.to_syslog = on;
}

const char* log_level_word(int level) {
  switch (level) {
    case kLogDebug:
      return "DEBUG";
    case kLogInfo:
      return "INFO";
    case kLogWarn:
      return "WARN";
    case kLogError:
      return "ERROR";
    default:
      return "?";
  }
}

void log_format_utc(char (&out)[32]) {
  time_t now = time(nullptr);
  struct tm tm = {};
  gmtime_r(&now, &tm);
  if (strftime(out, sizeof out, "%Y-%m-%dT%H:%M:%SZ", &tm) == 0) {
    out[0] = '\0';
  }
}

void log_msg(int level, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  log_msgv(level, fmt, ap);
  va_end(ap);
}

void log_msgv(int level, const char* fmt, va_list ap) {
  if (level < g_log.min_level) {
    return;
  }
  char when[32];
  log_format_utc(when);
  std::lock_guard<std::mutex> guard(g_log_lock);
  // One fprintf for the prefix and one vfprintf for the text, under stderr's own lock, so the
  // line reaches the terminal whole and unbuffered.
  flockfile(stderr);
  fprintf(stderr, "%s [%s] %-5s ", when, g_log.name, log_level_word(level));
  va_list copy;
  va_copy(copy, ap);
  vfprintf(stderr, fmt, copy);
  va_end(copy);
  fputc('\n', stderr);
  funlockfile(stderr);
  if (g_log.to_syslog) {
    vsyslog(syslog_priority(level), fmt, ap);
  }
}

}  // namespace vrk
