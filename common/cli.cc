#include "common/cli.h"

#include <stdarg.h>
#include <string.h>

#include <string_view>

#include "common/log.h"
#include "common/runlog.h"

namespace vrk {

const CliOption kCliGlobalOptions[] = {
    {"--help", "-h", false},
    {"--version", nullptr, false},
    {"--selftest", nullptr, false},
    {},
};

const CliOption kCliLoggingOptions[] = {
    {"--no-syslog", nullptr, false}, {"--no-log", nullptr, false},  {"--syslog", nullptr, true},
    {"--log", nullptr, true},        {"--log-path", nullptr, true}, {},
};

const char* cli_value(int argc, char** argv, const char* name, const char* def) {
  if (argc < 2) {
    return def;
  }
  std::string_view n(name);
  for (int i = 1; i < argc; ++i) {
    std::string_view w(argv[i]);
    if (w == n) {
      return i + 1 < argc ? argv[i + 1] : def;
    }
    if (w.size() > n.size() && w.substr(0, n.size()) == n && w[n.size()] == '=') {
      return argv[i] + n.size() + 1;
    }
  }
  return def;
}

bool cli_flag(int argc, char** argv, const char* name) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], name) == 0) {
      return true;
    }
  }
  return false;
}

namespace {

enum class Match { kNone, kWhole, kWithValue };

Match match_in(const CliOption* table, std::string_view w, const CliOption*& found) {
  for (const CliOption* o = table; o && o->name; ++o) {
    if (w == o->name || (o->alias && w == o->alias)) {
      found = o;
      return Match::kWhole;
    }
    std::string_view n(o->name);
    if (o->takes_value && w.size() > n.size() && w.substr(0, n.size()) == n && w[n.size()] == '=') {
      found = o;
      return Match::kWithValue;
    }
  }
  return Match::kNone;
}

[[gnu::format(printf, 1, 2)]] void warn(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list copy;
  va_copy(copy, ap);
  log_msgv(kLogWarn, fmt, ap);
  runlog_writev(1, fmt, copy);
  va_end(copy);
  va_end(ap);
}

}  // namespace

int cli_check(int argc, char** argv, const CliOption* options, int max_positional) {
  if (argc < 2) {
    return 0;
  }
  int warnings = 0;
  int positional = 0;
  for (int i = 1; i < argc; ++i) {
    std::string_view w(argv[i]);
    if (w == "--") {
      break;
    }
    if (w.empty() || w[0] != '-' || w == "-") {
      if (positional >= max_positional) {
        warn("unexpected argument '%.*s' ignored", static_cast<int>(w.size()), argv[i]);
        ++warnings;
      }
      ++positional;
      continue;
    }
    const CliOption* found = nullptr;
    Match m = match_in(options, w, found);
    if (m == Match::kNone) {
      m = match_in(kCliGlobalOptions, w, found);
    }
    if (m == Match::kNone && runlog_active()) {
      m = match_in(kCliLoggingOptions, w, found);
    }
    if (m != Match::kNone) {
      if (m == Match::kWhole && found->takes_value) {
        if (i + 1 >= argc) {
          break;
        }
        ++i;
      }
      continue;
    }
    ++warnings;
    size_t eq = w.find('=');
    if (eq != std::string_view::npos) {
      warn("unknown option '%.*s=...' ignored", static_cast<int>(eq), argv[i]);
    } else if (i + 1 < argc && argv[i + 1][0] != '-') {
      warn("unknown option '%.*s' ignored (with the value after it)", static_cast<int>(w.size()),
           argv[i]);
      ++i;
    } else {
      warn("unknown option '%.*s' ignored", static_cast<int>(w.size()), argv[i]);
    }
  }
  return warnings;
}

}  // namespace vrk
