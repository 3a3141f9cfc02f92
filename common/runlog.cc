#include "common/runlog.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <string_view>

#include "common/cli.h"
#include "common/fs.h"
#include "common/log.h"
#include "common/text.h"

namespace vrk {
namespace {

inline constexpr uint64_t kRunlogStartStop = 1;
inline constexpr size_t kRunlogPathSize = 1200;
inline constexpr size_t kRunlogEntrySize = 512;

struct RunlogState {
  bool active = false;
  char name[64] = "";
  bool syslog_on = false;
  uint64_t syslog_mask = 1;
  uint64_t file_mask = 1;
  FILE* file = nullptr;
  char* forward[kRunlogForwardMax] = {};
  int forward_count = 0;
};
RunlogState g_run;

// An unsigned mask whose base follows its prefix (0x: hex, 0: octal) and that must be
// consumed whole; anything else warns and gives 1.
uint64_t parse_mask(const char* option, const char* value) {
  if (value == nullptr || value[0] == '\0') {
    return 1;
  }
  char* end = nullptr;
  errno = 0;
  unsigned long long v = 0;
  if (value[0] >= '0' && value[0] <= '9') {
    v = strtoull(value, &end, 0);
  }
  if (end == nullptr || *end != '\0' || errno != 0) {
    fprintf(stderr, "warning: vrk_runlog: invalid %s value '%s' -- using default 1\n", option,
            value);
    return 1;
  }
  return v;
}

void write_entry(const char* msg) {
  char when[32];
  log_format_utc(when);
  fprintf(g_run.file, "%s [%s] pid=%ld %s\n", when, g_run.name, static_cast<long>(getpid()), msg);
  fflush(g_run.file);
}

void runlog_at_exit(int status, void*) {
  char msg[64];
  if (status >= 0) {
    snprintf(msg, sizeof msg, "stopped exit=%d", status);
  } else {
    snprintf(msg, sizeof msg, "stopped");
  }
  if (g_run.file && (g_run.file_mask & kRunlogStartStop)) {
    write_entry(msg);
  }
  if (g_run.syslog_on && (g_run.syslog_mask & kRunlogStartStop)) {
    syslog(LOG_INFO, "%s", msg);
  }
  if (g_run.file) {
    fclose(g_run.file);
    g_run.file = nullptr;
  }
  if (g_run.syslog_on) {
    closelog();
    g_run.syslog_on = false;
  }
}

// Keeps the first occurrence of each logging option, with its value word when it takes one.
void remember_logging_words(int argc, char** argv) {
  bool seen[5] = {};
  for (int i = 1; i < argc && g_run.forward_count + 2 <= kRunlogForwardMax; ++i) {
    std::string_view w(argv[i]);
    if (w == "--") {
      break;
    }
    for (int k = 0; kCliLoggingOptions[k].name; ++k) {
      const CliOption& o = kCliLoggingOptions[k];
      std::string_view n(o.name);
      bool whole = w == n;
      bool with_value =
          o.takes_value && w.size() > n.size() && w.substr(0, n.size()) == n && w[n.size()] == '=';
      if ((!whole && !with_value) || seen[k]) {
        continue;
      }
      seen[k] = true;
      g_run.forward[g_run.forward_count++] = argv[i];
      if (whole && o.takes_value && i + 1 < argc) {
        g_run.forward[g_run.forward_count++] = argv[++i];
      }
      break;
    }
  }
}

}  // namespace

int runlog_logging_words(char* (&out)[kRunlogForwardMax]) {
  for (int i = 0; i < g_run.forward_count; ++i) {
    out[i] = g_run.forward[i];
  }
  return g_run.forward_count;
}

bool runlog_active() {
  return g_run.active;
}

bool runlog_syslog_on() {
  return g_run.syslog_on;
}

void runlog_init(int argc, char** argv, const char* name) {
  g_run.active = true;
  text_copy_cut(g_run.name, name ? name : "");
  remember_logging_words(argc, argv);
  bool no_syslog = cli_flag(argc, argv, "--no-syslog");
  bool no_log = cli_flag(argc, argv, "--no-log");
  g_run.syslog_mask = parse_mask("--syslog", cli_value(argc, argv, "--syslog", nullptr));
  g_run.file_mask = parse_mask("--log", cli_value(argc, argv, "--log", nullptr));
  const char* dir = cli_value(argc, argv, "--log-path", "/var/log/vrk/");

  if (!no_syslog) {
    openlog(g_run.name, LOG_PID, LOG_DAEMON);
    g_run.syslog_on = true;
  }
  if (!no_log) {
    if (!fs_make_dirs(dir, 0777)) {
      fprintf(stderr,
              "warning: vrk_runlog: could not create log directory '%s' -- continuing without "
              "logfile\n",
              dir);
    } else {
      std::string_view base(g_run.name);
      if (base.substr(0, 4) == "vrk_") {
        base.remove_prefix(4);
      }
      size_t dlen = strlen(dir);
      const char* sep = (dlen > 0 && dir[dlen - 1] == '/') ? "" : "/";
      char path[kRunlogPathSize];
      int n = snprintf(path, sizeof path, "%s%s%.*s.log", dir, sep, static_cast<int>(base.size()),
                       base.data());
      // "e": the log file must not leak into the jobs the scheduler starts.
      if (n > 0 && static_cast<size_t>(n) < sizeof path) {
        g_run.file = fopen(path, "ae");
      }
      if (g_run.file == nullptr) {
        fprintf(stderr,
                "warning: vrk_runlog: could not open logfile '%s' -- continuing without logfile\n",
                path);
      }
    }
  }
  on_exit(runlog_at_exit, nullptr);
  if (g_run.file && (g_run.file_mask & kRunlogStartStop)) {
    write_entry("started");
  }
  if (g_run.syslog_on && (g_run.syslog_mask & kRunlogStartStop)) {
    syslog(LOG_INFO, "%s", "started");
  }
}

void runlog_write(uint64_t bits, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  runlog_writev(bits, fmt, ap);
  va_end(ap);
}

void runlog_writev(uint64_t bits, const char* fmt, va_list ap) {
  if (!g_run.active) {
    return;
  }
  char msg[kRunlogEntrySize];
  vsnprintf(msg, sizeof msg, fmt, ap);
  if (g_run.file && (g_run.file_mask & bits)) {
    write_entry(msg);
  }
  if (g_run.syslog_on && (g_run.syslog_mask & bits)) {
    syslog(LOG_INFO, "%s", msg);
  }
}

}  // namespace vrk
