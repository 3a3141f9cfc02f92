// The run log: one "started" and one "stopped" entry per process, written to an own log file
// and to syslog as selected by bit masks (bit 0: start, end and option warnings).
#pragma once

#include <stdarg.h>
#include <stdint.h>

namespace vrk {

// Reads the logging options, opens syslog and the log file, writes the start entry and
// registers the end entry for process exit. Failures are warnings on standard error.
void runlog_init(int argc, char** argv, const char* name);

// One entry for the given mask bits; the message is cut to 511 bytes.
[[gnu::format(printf, 2, 3)]] void runlog_write(uint64_t bits, const char* fmt, ...);
[[gnu::format(printf, 2, 0)]] void runlog_writev(uint64_t bits, const char* fmt, va_list ap);

inline constexpr int kRunlogForwardMax = 10;

// The logging options of this process's command line, words as given (at most the five options
// with their values), for a helper program that should log the way this process does. Returns
// the number of words stored in out; they point into argv.
int runlog_logging_words(char* (&out)[kRunlogForwardMax]);

// True once runlog_init has run.
bool runlog_active();

// Whether syslog is open for the run log (false after "--no-syslog"): a detached run copies its
// log lines to syslog only then.
bool runlog_syslog_on();

}  // namespace vrk
