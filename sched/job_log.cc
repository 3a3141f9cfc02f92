#include "sched/job_log.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <new>
#include <string>

#include "common/fs.h"
#include "common/log.h"
#include "common/text.h"

namespace vrk {
namespace {

// Pruning keeps names in fixed slots; the list starts with this many and doubles.
inline constexpr size_t kPruneNameSize = 64;
inline constexpr size_t kPruneFirstCapacity = 64;
// Header and footer lines are composed through a buffer of this size.
inline constexpr size_t kJobLogLineSize = 1024;

// "YYYYMMDDTHHMMSSZ.log": '9' stands for a digit, anything else for itself.
inline constexpr std::string_view kRunIdLogPattern = "99999999T999999Z.log";

struct PruneName {
  char text[kPruneNameSize] = {};
};
static_assert(kRunIdLogPattern.size() < kPruneNameSize);

bool job_log_dot_name(const char* job_name) {
  return strcmp(job_name, ".") == 0 || strcmp(job_name, "..") == 0;
}

// "<log_dir>/<job_name>"; false when it does not fit or names the root or above.
bool job_log_dir_path(const char* log_dir, const char* job_name, char (&dir)[kJobLogPathSize]) {
  int n = snprintf(dir, sizeof dir, "%s/%s", log_dir, job_name);
  return !job_log_dot_name(job_name) && n > 0 && static_cast<size_t>(n) < sizeof dir;
}

// Writes all of text; a job log that cannot take its header or footer only loses those lines.
void job_log_write_all(int fd, const std::string& text) {
  size_t off = 0;
  while (off < text.size()) {
    ssize_t n = write(fd, text.data() + off, text.size() - off);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;
    }
    off += static_cast<size_t>(n);
  }
}

// Appends printf-style text to out; a failed allocation only shortens the log text.
[[gnu::format(printf, 2, 3)]] void job_log_append(std::string& out, const char* fmt, ...) {
  char buf[kJobLogLineSize];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n <= 0) {
    return;
  }
  try {
    out.append(buf, std::min(static_cast<size_t>(n), sizeof buf - 1));
  } catch (const std::bad_alloc&) {
  }
}

void job_log_append_text(std::string& out, std::string_view text) {
  try {
    out.append(text);
  } catch (const std::bad_alloc&) {
  }
}

// The decimal number after the first "name" in text; 0 when the name is missing or the number
// cannot be read (no digits, or out of range).
template <typename T>
T job_log_footer_item(std::string_view text, std::string_view name) {
  size_t at = text.find(name);
  if (at == std::string_view::npos) {
    return 0;
  }
  std::string_view digits = text.substr(at + name.size());
  T value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  return ec == std::errc() ? value : 0;
}

}  // namespace

bool job_log_name_is_run_id(std::string_view name) {
  if (name.size() != kRunIdLogPattern.size()) {
    return false;
  }
  for (size_t i = 0; i < name.size(); ++i) {
    const char want = kRunIdLogPattern[i];
    if (want == '9' ? (name[i] < '0' || name[i] > '9') : name[i] != want) {
      return false;
    }
  }
  return true;
}

UniqueFd job_log_open(const char* log_dir, const char* job_name, int64_t start,
                      char (&path)[kJobLogPathSize]) {
  path[0] = '\0';
  char dir[kJobLogPathSize];
  if (!job_log_dir_path(log_dir, job_name, dir) || !fs_make_dirs(dir, 0755)) {
    log_msg(kLogWarn, "vrk_sched: cannot create job log dir %s", dir);
    return UniqueFd();
  }
  char stamp[32];
  time_t t = static_cast<time_t>(start);
  struct tm tm = {};
  if (gmtime_r(&t, &tm) == nullptr || strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm) == 0) {
    stamp[0] = '\0';
  }
  char name[kJobLogPathSize] = "";
  UniqueFd fd;
  int n = snprintf(name, sizeof name, "%s/%s.log", dir, stamp);
  if (n > 0 && static_cast<size_t>(n) < sizeof name) {
    fd.reset(open(name, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  }
  if (!fd.valid()) {
    log_msg(kLogWarn, "vrk_sched: cannot write job log %s", name);
    return fd;
  }
  text_copy_cut(path, name);
  return fd;
}

void job_log_header(int fd, const char* job_name, const std::vector<const char*>& argv, int count,
                    int64_t start) {
  std::string text;
  job_log_append_text(text, "job: ");
  job_log_append_text(text, job_name);
  job_log_append_text(text, "\nargv:");
  for (int i = 0; i < count; ++i) {
    job_log_append_text(text, " ");
    job_log_append_text(text, argv[static_cast<size_t>(i)]);
  }
  job_log_append(text, "\nstart_unix: %lld\n\n--- output ---\n", static_cast<long long>(start));
  job_log_write_all(fd, text);
}

void job_log_write_footer(int fd, int64_t finish, int32_t exit_code, bool timed_out,
                          const char* cancelled_by) {
  std::string text;
  job_log_append(text, "\n--- end ---\nfinish_unix: %lld\nexit_code: %d\ntimed_out: %d\n",
                 static_cast<long long>(finish), exit_code, timed_out ? 1 : 0);
  if (cancelled_by != nullptr) {
    job_log_append(text, "cancelled: 1\ncancelled_by: %s\n", cancelled_by);
  }
  job_log_write_all(fd, text);
}

void job_log_footer(int fd, int64_t size, LogFooter& out) {
  out = LogFooter{};
  char tail[kLogFooterTail];
  const int64_t want = std::min(size, kLogFooterTail);
  if (want <= 0) {
    return;
  }
  ssize_t got;
  do {
    got = pread(fd, tail, static_cast<size_t>(want), static_cast<off_t>(size - want));
  } while (got < 0 && errno == EINTR);
  if (got > 0) {
    job_log_footer_parse(std::string_view(tail, static_cast<size_t>(got)), out);
  }
}

void job_log_footer_parse(std::string_view tail, LogFooter& out) {
  out = LogFooter{};
  if (tail.size() > static_cast<size_t>(kLogFooterTail)) {
    tail.remove_prefix(tail.size() - static_cast<size_t>(kLogFooterTail));
  }
  // Program output may hold NUL bytes; as spaces they cannot end the text early.
  char buf[kLogFooterTail];
  std::replace_copy(tail.begin(), tail.end(), buf, '\0', ' ');
  const std::string_view text(buf, tail.size());
  const size_t at = text.rfind("\n--- end ---\n");
  if (at == std::string_view::npos) {
    return;
  }
  const std::string_view rest = text.substr(at);
  // A run that started in the same second appends to this file: its header after the marker
  // means the log's last run has not finished.
  if (rest.find("\n--- output ---\n") != std::string_view::npos) {
    return;
  }
  out.finished = true;
  out.finish = job_log_footer_item<int64_t>(rest, "finish_unix: ");
  out.exit_code = job_log_footer_item<int32_t>(rest, "exit_code: ");
  out.timed_out = job_log_footer_item<int32_t>(rest, "timed_out: ");
  out.cancelled = job_log_footer_item<int32_t>(rest, "cancelled: ");
}

void job_log_prune(const char* log_dir, const char* job_name, uint32_t keep) {
  char dir[kJobLogPathSize];
  if (keep == 0 || !job_log_dir_path(log_dir, job_name, dir)) {
    return;
  }
  DIR* d = opendir(dir);
  if (d == nullptr) {
    return;
  }
  std::vector<PruneName> names;
  try {
    names.reserve(kPruneFirstCapacity);
  } catch (const std::bad_alloc&) {
    closedir(d);
    return;
  }
  // Names are UTC timestamps, so byte order is age order. Other files, even ending in ".log",
  // are not runs: counting them could make the new run's own log the oldest.
  while (struct dirent* de = readdir(d)) {
    if (!job_log_name_is_run_id(de->d_name)) {
      continue;
    }
    if (names.size() == names.capacity()) {
      try {
        names.reserve(names.capacity() * 2);
      } catch (const std::bad_alloc&) {
        break;
      }
    }
    PruneName n;
    text_copy_cut(n.text, de->d_name);
    names.push_back(n);
  }
  std::sort(names.begin(), names.end(),
            [](const PruneName& a, const PruneName& b) { return strcmp(a.text, b.text) < 0; });
  if (names.size() > keep) {
    size_t drop = names.size() - keep;
    for (size_t i = 0; i < drop; ++i) {
      unlinkat(dirfd(d), names[i].text, 0);
    }
  }
  closedir(d);
}

}  // namespace vrk
