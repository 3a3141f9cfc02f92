// The job log of one run: "<log dir>/<job>/<YYYYMMDDTHHMMSSZ>.log" (start time in UTC), a fixed
// header, the program's output as written, and a fixed footer; and the pruning of old logs.
// A log without its footer belongs to a run that is still going on or whose runner died.
#pragma once

#include <stdint.h>

#include <string_view>
#include <type_traits>
#include <vector>

#include "common/fd.h"

namespace vrk {

// Paths of a job's log directory and of one log; the same size as RunResult's job_log.
inline constexpr int kJobLogPathSize = 1400;
inline constexpr int kJobLogCancelledBySize = 128;

// Whether name has the form the runner writes and the run listing reads,
// "YYYYMMDDTHHMMSSZ.log" (digits where the letters are).
bool job_log_name_is_run_id(std::string_view name);

// Creates "<log_dir>/<job_name>" and opens (appending, 0644, close-on-exec) the log of a run
// that started at start; path gets its name. An invalid fd when it cannot: a WARN line is
// logged ("cannot create job log dir %s" or "cannot write job log %s") and path is empty.
// Jobs named "." or ".." get no log: their directory would be the log root or above it.
UniqueFd job_log_open(const char* log_dir, const char* job_name, int64_t start,
                      char (&path)[kJobLogPathSize]);

// The header: "job: <name>\nargv: <each element>\nstart_unix: <start>\n\n--- output ---\n". The
// vector is written whole (the command text is cut, this is not).
void job_log_header(int fd, const char* job_name, const std::vector<const char*>& argv, int count,
                    int64_t start);

// The footer, always on a line of its own: "\n--- end ---\nfinish_unix: ..\nexit_code: ..\n
// timed_out: 0|1\n", then for a cancelled run "cancelled: 1\ncancelled_by: <cancelled_by>\n".
void job_log_write_footer(int fd, int64_t finish, int32_t exit_code, bool timed_out,
                          const char* cancelled_by);

// A run's summary as read back from the end of its job log.
struct LogFooter {
  bool finished = false;  // the end marker was found (and no later run began after it)
  int64_t finish = 0;
  int32_t exit_code = 0;
  int32_t timed_out = 0;
  int32_t cancelled = 0;
};
static_assert(std::is_trivially_copyable_v<LogFooter>);

// The footer is looked for in this many bytes at the end of a log.
inline constexpr int64_t kLogFooterTail = 512;

// Reads the last min(size, 512) bytes of the open log fd (size: its size) and parses them with
// job_log_footer_parse. A failed read gives an unfinished footer.
void job_log_footer(int fd, int64_t size, LogFooter& out);

// The footer of the log tail text: out is cleared, then, after the last "\n--- end ---\n"
// (NUL bytes count as spaces), "finish_unix: ", "exit_code: ", "timed_out: " and "cancelled: "
// are read as decimal numbers; a missing or unreadable item stays 0. A marker followed by the
// header of a later run appended to the same file (two runs in one second) does not count: that
// run is still going on.
void job_log_footer_parse(std::string_view tail, LogFooter& out);

// Deletes the oldest run logs of "<log_dir>/<job_name>" so that keep remain (keep 0: none
// deleted). Only names of the run-id form count: other files are never touched.
void job_log_prune(const char* log_dir, const char* job_name, uint32_t keep);

}  // namespace vrk
