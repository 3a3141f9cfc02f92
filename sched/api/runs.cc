#include "sched/api/runs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <functional>

#include "common/fd.h"
#include "common/log.h"
#include "common/scope_exit.h"
#include "common/text.h"
#include "sched/api/config_snapshot.h"
#include "sched/api/router.h"
#include "sched/api/state.h"
#include "sched/config.h"
#include "sched/config_load.h"
#include "sched/job_log.h"

namespace vrk {
namespace {

// A UTF-8 character has at most this many bytes; a chunk may grow to one whole character.
constexpr size_t kUtf8Max = 4;
// "YYYYMMDDTHHMMSSZ": '9' stands for a digit, anything else for itself.
constexpr std::string_view kRunIdPattern = "99999999T999999Z";
static_assert(kRunIdPattern.size() == kApiRunIdLength);
static_assert(kApiLogChunkMax >= kUtf8Max);

// Log files are opened without following a link, and without blocking on a FIFO that bears a
// run's name (the type is checked right after).
constexpr int kLogOpenFlags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

// The one data area of log chunks: requests are answered one at a time on the daemon's thread.
unsigned char g_log_data[kApiLogChunkMax];

struct RunId {
  char text[kApiRunIdLength + 1] = {};
};

bool run_id_newer(const RunId& a, const RunId& b) {
  return strcmp(a.text, b.text) > 0;
}

bool dot_name(const char* name) {
  return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// The job of the snapshot, or nullptr with the error answered.
const JobConfig* snapshot_job(ApiCall& call, ConfigSnapshot& snapshot, const char* name) {
  char err[kConfigApiErrSize];
  if (config_snapshot_read(*call.state, snapshot, err) != 0) {
    api_error(call, ApiErrorCode::kConfigUnreadable, "%s", err);
    return nullptr;
  }
  const JobConfig* job = config_find_job(*snapshot.config, name);
  if (job == nullptr) {
    api_error(call, ApiErrorCode::kNotFound, "no job named '%s'", name);
  }
  return job;
}

// 1-based place of name in the run queue, 0 when it is not queued.
uint64_t queue_position(const ApiState& state, const char* name) {
  for (uint64_t i = 0; i < state.run_queue_count && i < kApiRunQueueMax; ++i) {
    if (strcmp(state.run_queue[i].job, name) == 0) {
      return i + 1;
    }
  }
  return 0;
}

bool command_allowed(const ApiState& state, const JobConfig& job) {
  return state.config != nullptr && api_command_allowed(*state.config, job.command);
}

// The newest kApiRunsListed run ids in dfd, newest first. Every entry is looked at: a listing
// that stopped after a fixed number of entries could miss the newest runs of a big directory.
size_t newest_run_ids(int dfd, std::array<RunId, kApiRunsListed>& ids) {
  int own = fcntl(dfd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) {
    return 0;
  }
  DIR* d = fdopendir(own);
  if (d == nullptr) {
    close(own);
    return 0;
  }
  // A min-heap by age: its front is the oldest of the kept ids, the first to give way.
  size_t count = 0;
  while (struct dirent* de = readdir(d)) {
    if (!job_log_name_is_run_id(de->d_name)) {
      continue;
    }
    RunId id;
    memcpy(id.text, de->d_name, kApiRunIdLength);
    if (count < ids.size()) {
      ids[count++] = id;
      std::push_heap(ids.begin(), ids.begin() + count, run_id_newer);
    } else if (run_id_newer(id, ids[0])) {
      std::pop_heap(ids.begin(), ids.end(), run_id_newer);
      ids.back() = id;
      std::push_heap(ids.begin(), ids.end(), run_id_newer);
    }
  }
  closedir(d);
  std::sort(ids.begin(), ids.begin() + count, run_id_newer);
  return count;
}

// One run object; false when the file is no regular log (it is then skipped).
bool write_run(JsonWriter& w, int dfd, const RunId& id) {
  char file[kApiRunIdLength + 5];
  snprintf(file, sizeof file, "%s.log", id.text);
  UniqueFd fd(openat(dfd, file, kLogOpenFlags));
  struct stat st = {};
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return false;
  }
  LogFooter footer;
  job_log_footer(fd.get(), st.st_size, footer);
  json_begin_object(w);
  json_put_text(w, "id", id.text);
  json_put_int(w, "start", api_run_id_time(id.text));
  json_put_bool(w, "finished", footer.finished);
  json_key(w, "finish");
  if (footer.finished) {
    json_int(w, footer.finish);
  } else {
    json_null(w);
  }
  json_key(w, "exit_code");
  if (footer.finished) {
    json_int(w, footer.exit_code);
  } else {
    json_null(w);
  }
  json_put_bool(w, "timed_out", footer.timed_out != 0);
  json_put_bool(w, "cancelled", footer.cancelled != 0);
  json_put_int(w, "size", st.st_size);
  json_end_object(w);
  return true;
}

bool utf8_continuation(unsigned char c) {
  return c >= 0x80 && c <= 0xBF;
}

// The chunk's end stepped back before a lead byte whose character the chunk does not hold
// whole: over at most 3 trailing continuation bytes to the byte before them.
size_t chunk_end_before_cut_character(const unsigned char* b, size_t n) {
  size_t tail = 0;
  while (tail < kUtf8Max - 1 && tail < n && utf8_continuation(b[n - 1 - tail])) {
    ++tail;
  }
  if (tail == n) {
    return n;
  }
  const size_t lead = n - 1 - tail;
  if (b[lead] >= 0xC0 && utf8_sequence_length(b + lead, tail + 1) != tail + 1) {
    return lead;
  }
  return n;
}

}  // namespace

bool api_log_query_parse(std::string_view query, int64_t& offset, int64_t& length) {
  return api_query_parse(query, "length", offset, length);
}

bool api_run_id_valid(std::string_view id) {
  if (id.size() != kRunIdPattern.size()) {
    return false;
  }
  for (size_t i = 0; i < id.size(); ++i) {
    const char want = kRunIdPattern[i];
    if (want == '9' ? (id[i] < '0' || id[i] > '9') : id[i] != want) {
      return false;
    }
  }
  return true;
}

int64_t api_run_id_time(std::string_view id) {
  auto number = [&](size_t at, size_t width) {
    int v = 0;
    for (size_t i = at; i < at + width && i < id.size(); ++i) {
      v = v * 10 + (id[i] - '0');
    }
    return v;
  };
  struct tm tm = {};
  tm.tm_year = number(0, 4) - 1900;
  tm.tm_mon = number(4, 2) - 1;
  tm.tm_mday = number(6, 2);
  tm.tm_hour = number(9, 2);
  tm.tm_min = number(11, 2);
  tm.tm_sec = number(13, 2);
  return static_cast<int64_t>(timegm(&tm));
}

size_t api_log_chunk_length(std::span<const unsigned char> read, size_t length, uint64_t file_rest,
                            bool finished) {
  // Bytes past the size the answer reports were written after the file was looked at (a run of
  // the same second appends to the log): the footer seen says nothing about them.
  if (read.size() > file_rest) {
    read = read.first(static_cast<size_t>(file_rest));
  }
  size_t n = std::min(read.size(), length);
  if (n == 0) {
    return 0;
  }
  // A finished log ends with its footer; anywhere else the rest of a character may follow.
  if (!(finished && n >= file_rest)) {
    n = chunk_end_before_cut_character(read.data(), n);
  }
  if (n > 0) {
    return n;
  }
  // The character at the offset is longer than length: an empty chunk would leave the reader
  // asking for the same offset for ever.
  const size_t whole = utf8_sequence_length(read.data(), read.size());
  if (whole > 0) {
    return whole;
  }
  // What is read up to the end of a log still being written may be a character in the making.
  if (read.size() >= file_rest && !finished) {
    return 0;
  }
  return 1;  // an invalid byte: it goes out as U+FFFD
}

void api_queue_run(ApiCall& call, const char* name) {
  ApiState& state = *call.state;
  ConfigSnapshot snapshot;
  ScopeExit release([&] { config_snapshot_release(snapshot); });
  const JobConfig* job = snapshot_job(call, snapshot, name);
  if (job == nullptr) {
    return;
  }
  if (!command_allowed(state, *job)) {
    api_error(call, ApiErrorCode::kCommandNotAllowed,
              "jobs with command '%s' may not be started through the API",
              command_keyword(static_cast<int>(job->command)));
    return;
  }
  if (strcmp(state.running_job, job->name) == 0) {
    api_error(call, ApiErrorCode::kJobRunning, "job '%s' is already running", job->name);
    return;
  }
  uint64_t position = queue_position(state, job->name);
  const bool already = position != 0;
  if (!already) {
    if (state.run_queue_count >= kApiRunQueueMax) {
      api_error(call, ApiErrorCode::kRunQueueFull, "too many queued runs");
      return;
    }
    ApiRunRequest& entry = state.run_queue[state.run_queue_count];
    entry = ApiRunRequest{};
    text_copy_cut(entry.job, job->name);
    text_copy_cut(entry.token, call.token_name);
    position = ++state.run_queue_count;
    log_msg(kLogInfo, "vrk_sched API: token '%s' from %s queued a run of job '%s'", call.token_name,
            call.request->client_address, job->name);
  }
  JsonWriter& w = call.writer;
  json_begin_object(w);
  json_put_bool(w, "queued", true);
  json_put_bool(w, "already_queued", already);
  json_put_int(w, "position", static_cast<int64_t>(position));
  json_key(w, "running_job");
  json_string_or_null(w, state.running_job);
  json_end_object(w);
  api_finish(call, 202);
}

void api_cancel_job(ApiCall& call, const char* name) {
  ApiState& state = *call.state;
  JsonWriter& w = call.writer;
  if (state.running_job[0] != '\0' && strcmp(state.running_job, name) == 0) {
    const JobConfig* job = state.config != nullptr ? config_find_job(*state.config, name) : nullptr;
    if (job != nullptr && !command_allowed(state, *job)) {
      api_error(call, ApiErrorCode::kCommandNotAllowed,
                "jobs with command '%s' may not be cancelled through the API",
                command_keyword(static_cast<int>(job->command)));
      return;
    }
    // The first request counts: it names who stopped the job in the job log.
    if (state.cancel_requested == 0) {
      state.cancel_requested = 1;
      text_copy_cut(state.cancel_requested_by, call.token_name);
      log_msg(kLogWarn, "vrk_sched API: token '%s' from %s cancels running job '%s'",
              call.token_name, call.request->client_address, name);
    }
    json_begin_object(w);
    json_put_text(w, "cancelled", "stop_requested");
    json_end_object(w);
    api_finish(call, 202);
    return;
  }
  if (api_queue_remove(state, name)) {
    log_msg(kLogInfo, "vrk_sched API: token '%s' from %s removed the queued run of job '%s'",
            call.token_name, call.request->client_address, name);
    json_begin_object(w);
    json_put_text(w, "cancelled", "queued_run_removed");
    json_end_object(w);
    api_finish(call, 200);
    return;
  }
  api_error(call, ApiErrorCode::kNotRunning, "job '%s' is not running", name);
}

void api_list_runs(ApiCall& call, const char* name) {
  ConfigSnapshot snapshot;
  ScopeExit release([&] { config_snapshot_release(snapshot); });
  const JobConfig* job = snapshot_job(call, snapshot, name);
  if (job == nullptr) {
    return;
  }
  JsonWriter& w = call.writer;
  json_begin_object(w);
  json_put_text(w, "job", job->name);
  json_key(w, "runs");
  json_begin_array(w);
  char dir[kJobLogPathSize];
  int n = snprintf(dir, sizeof dir, "%s/%s", call.state->job_log_dir, job->name);
  // A job named "." or ".." would list the log root or what lies above it.
  UniqueFd dfd;
  if (n > 0 && static_cast<size_t>(n) < sizeof dir && !dot_name(job->name)) {
    dfd.reset(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  if (dfd.valid()) {
    std::array<RunId, kApiRunsListed> ids;
    const size_t count = newest_run_ids(dfd.get(), ids);
    for (size_t i = 0; i < count; ++i) {
      (void)write_run(w, dfd.get(), ids[i]);
    }
  }
  json_end_array(w);
  json_end_object(w);
  api_finish(call, 200);
}

void api_read_log(ApiCall& call, const char* name, const char* run_id) {
  int64_t offset = 0;
  int64_t length = static_cast<int64_t>(kApiLogChunkMax);
  if (!api_log_query_parse(text_view(call.request->query), offset, length)) {
    api_error(call, ApiErrorCode::kBadQuery, "allowed query parameters: offset, length (digits)");
    return;
  }
  if (length < 1 || length > static_cast<int64_t>(kApiLogChunkMax)) {
    api_error(call, ApiErrorCode::kBadQuery, "length must be 1..%u",
              static_cast<unsigned>(kApiLogChunkMax));
    return;
  }
  if (!api_run_id_valid(run_id)) {
    api_error(call, ApiErrorCode::kNotFound, "no such run");
    return;
  }
  ConfigSnapshot snapshot;
  ScopeExit release([&] { config_snapshot_release(snapshot); });
  const JobConfig* job = snapshot_job(call, snapshot, name);
  if (job == nullptr) {
    return;
  }
  char path[kJobLogPathSize];
  int n = snprintf(path, sizeof path, "%s/%s/%s.log", call.state->job_log_dir, job->name, run_id);
  UniqueFd fd;
  if (n > 0 && static_cast<size_t>(n) < sizeof path && !dot_name(job->name)) {
    fd.reset(open(path, kLogOpenFlags));
  }
  struct stat st = {};
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    api_error(call, ApiErrorCode::kNotFound, "no such run");
    return;
  }
  const int64_t size = st.st_size;
  size_t got = 0;
  if (size > offset) {
    // Never less than one whole character, so that a small length still moves on.
    const size_t want = std::max(static_cast<size_t>(length), kUtf8Max);
    ssize_t r;
    do {
      r = pread(fd.get(), g_log_data, want, static_cast<off_t>(offset));
    } while (r < 0 && errno == EINTR);
    got = r > 0 ? static_cast<size_t>(r) : 0;
  }
  LogFooter footer;
  job_log_footer(fd.get(), size, footer);
  fd.reset();
  const uint64_t rest = size > offset ? static_cast<uint64_t>(size - offset) : 0;
  const size_t chunk = api_log_chunk_length(std::span<const unsigned char>(g_log_data, got),
                                            static_cast<size_t>(length), rest, footer.finished);
  JsonWriter& w = call.writer;
  json_begin_object(w);
  json_put_text(w, "id", run_id);
  json_put_int(w, "offset", offset);
  json_put_int(w, "size", size);
  json_put_bool(w, "finished", footer.finished);
  json_key(w, "data");
  const size_t consumed = json_string(w, g_log_data, chunk, kApiLogDataLimit);
  json_put_int(w, "length", static_cast<int64_t>(consumed));
  json_put_int(w, "next_offset", offset + static_cast<int64_t>(consumed));
  json_end_object(w);
  api_finish(call, 200);
}

}  // namespace vrk
