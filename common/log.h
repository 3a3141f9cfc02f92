// The log: one line per event on standard error ("<UTC time> [<name>] <LEVEL> <message>"),
// optionally copied to syslog. Process-wide state set once at start-up.
#pragma once

#include <stdarg.h>

namespace vrk {

inline constexpr int kLogDebug = 0;
inline constexpr int kLogInfo = 1;
inline constexpr int kLogWarn = 2;
inline constexpr int kLogError = 3;

// Stores the name (cut to 63 bytes) and the minimum level.
void log_init(const char* name, int min_level);

// Switches copying of log lines to syslog (at the level's priority).
void log_to_syslog(bool on);

// Writes one line when level >= the minimum level. The message is not cut.
[[gnu::format(printf, 2, 3)]] void log_msg(int level, const char* fmt, ...);
[[gnu::format(printf, 2, 0)]] void log_msgv(int level, const char* fmt, va_list ap);

// The level word: "DEBUG", "INFO", "WARN", "ERROR", or "?".
const char* log_level_word(int level);

// Current UTC time as "%Y-%m-%dT%H:%M:%SZ" into out (21 bytes).
void log_format_utc(char (&out)[32]);

}  // namespace vrk
