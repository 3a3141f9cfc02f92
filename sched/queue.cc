#include "sched/queue.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <new>
#include <utility>

#include "common/bytes.h"
#include "common/error.h"
#include "common/fd.h"
#include "common/fs.h"
#include "common/log.h"
#include "common/text.h"

namespace vrk {
namespace {

// Entry layout, little-endian, 172 bytes, no padding:
//   offset size field
//     0    128  name, NUL-terminated (at most 127 bytes)
//   128      1  state (JobState)
//   129      3  runner pid, 24 bits (bytes 129..131 = bits 0-7, 8-15, 16-23); 0 = none
//   132      4  schedule fingerprint (u32); 0 = not yet computed
//   136      8  next run (i64); INT64_MAX = never
//   144      8  last run (i64); 0 = never ran
//   152      8  last finish (i64); 0 = never
//   160      4  exit code (i32); -1 = none
//   164      8  dependency mark (i64); 0 = none
constexpr size_t kOffName = 0;
constexpr size_t kOffState = 128;
constexpr size_t kOffPid = 129;
constexpr size_t kOffFingerprint = 132;
constexpr size_t kOffNextRun = 136;
constexpr size_t kOffLastRun = 144;
constexpr size_t kOffLastFinish = 152;
constexpr size_t kOffExitCode = 160;
constexpr size_t kOffDependencyMark = 164;
static_assert(kOffName + kQueueNameSize == kOffState);
static_assert(kOffState + 1 == kOffPid);
static_assert(kOffPid + 3 == kOffFingerprint);
static_assert(kOffDependencyMark + 8 == kQueueEntryBytes);

// The path plus ".lock" or ".tmp".
constexpr size_t kQueueSidePathSize = kQueuePathSize + 8;

bool queue_side_path(char (&out)[kQueueSidePathSize], const char* path, const char* suffix) {
  int n = snprintf(out, sizeof out, "%s%s", path, suffix);
  return n > 0 && static_cast<size_t>(n) < sizeof out;
}

bool queue_path_ok(const char* path) {
  return path != nullptr && path[0] != '\0' && strlen(path) < kQueuePathSize;
}

// Reads the file at path into entries. Missing file: kErrNotFound.
int queue_read_file(const char* path, std::vector<QueueEntry>& entries) {
  // O_NONBLOCK: a FIFO put in place of the file must not hang the caller.
  UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) {
    return error_from_errno(errno);
  }
  struct stat st = {};
  if (fstat(fd.get(), &st) != 0) {
    return error_from_errno(errno);
  }
  uint64_t size = 0;
  if (S_ISREG(st.st_mode)) {
    size = static_cast<uint64_t>(st.st_size);
  } else if (S_ISBLK(st.st_mode)) {
    if (ioctl(fd.get(), BLKGETSIZE64, &size) != 0) {
      return error_from_errno(errno);
    }
  } else if (S_ISDIR(st.st_mode)) {
    return kErrIo;
  } else {
    return kErrInvalid;
  }
  const uint64_t count = size / kQueueEntryBytes;
  if (count > kQueueMaxEntries) {
    return kErrCorrupt;
  }
  const size_t want = static_cast<size_t>(count) * kQueueEntryBytes;
  std::vector<uint8_t> bytes;
  try {
    bytes.resize(want);
  } catch (const std::bad_alloc&) {
    return kErrNoMem;
  }
  size_t got = 0;
  while (got < want) {
    ssize_t n = read(fd.get(), bytes.data() + got, want - got);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return error_from_errno(errno);
    }
    if (n == 0) {
      return kErrCorrupt;  // the file shrank under us
    }
    got += static_cast<size_t>(n);
  }
  return queue_decode(bytes, entries);
}

// Syncs the directory holding path, so the rename survives a crash. Best effort.
void queue_sync_dir(const char* path) {
  char dir[kQueueSidePathSize];
  text_copy_cut(dir, path);
  char* slash = strrchr(dir, '/');
  if (slash == nullptr) {
    text_copy_cut(dir, ".");
  } else if (slash == dir) {
    dir[1] = '\0';
  } else {
    *slash = '\0';
  }
  UniqueFd fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) {
    fsync(fd.get());
  }
}

// The save without its log line: the error kind, with the reason in why.
int queue_save_quiet(const QueueState& q, char (&why)[128]) {
  why[0] = '\0';
  if (!queue_path_ok(q.path)) {
    text_copy_cut(why, "invalid path");
    return kErrInvalid;
  }
  char tmp[kQueueSidePathSize];
  if (!queue_side_path(tmp, q.path, ".tmp")) {
    text_copy_cut(why, "path too long");
    return kErrInvalid;
  }
  std::vector<uint8_t> bytes;
  try {
    bytes.resize(q.entries.size() * kQueueEntryBytes);
  } catch (const std::bad_alloc&) {
    text_copy_cut(why, error_text(kErrNoMem));
    return kErrNoMem;
  }
  for (size_t i = 0; i < q.entries.size(); ++i) {
    queue_entry_encode(q.entries[i], std::span<uint8_t, kQueueEntryBytes>(
                                         bytes.data() + i * kQueueEntryBytes, kQueueEntryBytes));
  }
  fs_make_parents(q.path, 0777);
  UniqueFd fd(open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  auto fail = [&](const char* step) {
    int e = errno;
    snprintf(why, sizeof why, "%s: %s", step, strerror(e));
    return error_from_errno(e);
  };
  if (!fd.valid()) {
    return fail("open");
  }
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return fail("write");
    }
    if (n == 0) {
      text_copy_cut(why, "short write");
      return kErrIo;
    }
    done += static_cast<size_t>(n);
  }
  if (fsync(fd.get()) != 0) {
    return fail("fsync");
  }
  if (close(fd.release()) != 0) {
    return fail("close");
  }
  if (rename(tmp, q.path) != 0) {
    return fail("rename");
  }
  queue_sync_dir(q.path);
  return 0;
}

}  // namespace

const char* queue_state_name(JobState state) {
  switch (state) {
    case JobState::kPending:
      return "PENDING";
    case JobState::kRunning:
      return "RUNNING";
    case JobState::kDone:
      return "DONE";
    case JobState::kFailed:
      return "FAILED";
    case JobState::kDisabled:
      return "DISABLED";
  }
  return "?";
}

QueueEntry queue_entry_make(std::string_view name) {
  QueueEntry e;
  text_copy_cut(e.name, name);
  e.state = JobState::kPending;
  e.next_run = kQueueNever;
  e.exit_code = -1;
  return e;
}

uint32_t queue_entry_pid(const QueueEntry& entry) {
  return entry.runner_pid <= kQueuePidMax ? entry.runner_pid : 0;
}

void queue_entry_set_pid(QueueEntry& entry, int64_t pid) {
  entry.runner_pid =
      pid > 0 && pid <= static_cast<int64_t>(kQueuePidMax) ? static_cast<uint32_t>(pid) : 0;
}

void queue_entry_encode(const QueueEntry& entry, std::span<uint8_t, kQueueEntryBytes> out) {
  uint8_t* p = out.data();
  memset(p, 0, kQueueEntryBytes);
  // At most 127 name bytes, so byte 127 is always the terminator.
  const size_t name_len = strnlen(entry.name, kQueueNameSize - 1);
  memcpy(p + kOffName, entry.name, name_len);
  p[kOffState] = static_cast<uint8_t>(entry.state);
  put_u24le(p + kOffPid, queue_entry_pid(entry));
  put_u32le(p + kOffFingerprint, entry.schedule_fingerprint);
  put_u64le(p + kOffNextRun, static_cast<uint64_t>(entry.next_run));
  put_u64le(p + kOffLastRun, static_cast<uint64_t>(entry.last_run));
  put_u64le(p + kOffLastFinish, static_cast<uint64_t>(entry.last_finish));
  put_u32le(p + kOffExitCode, static_cast<uint32_t>(entry.exit_code));
  put_u64le(p + kOffDependencyMark, static_cast<uint64_t>(entry.dependency_mark));
}

void queue_entry_decode(std::span<const uint8_t, kQueueEntryBytes> in, QueueEntry& entry) {
  const uint8_t* p = in.data();
  QueueEntry e;
  size_t name_len = 0;
  while (name_len < kQueueNameSize - 1 && p[kOffName + name_len] != 0) {
    ++name_len;
  }
  memcpy(e.name, p + kOffName, name_len);
  e.name[name_len] = '\0';
  e.state = static_cast<JobState>(p[kOffState]);
  e.runner_pid = get_u24le(p + kOffPid);
  e.schedule_fingerprint = get_u32le(p + kOffFingerprint);
  e.next_run = static_cast<int64_t>(get_u64le(p + kOffNextRun));
  e.last_run = static_cast<int64_t>(get_u64le(p + kOffLastRun));
  e.last_finish = static_cast<int64_t>(get_u64le(p + kOffLastFinish));
  e.exit_code = static_cast<int32_t>(get_u32le(p + kOffExitCode));
  e.dependency_mark = static_cast<int64_t>(get_u64le(p + kOffDependencyMark));
  entry = e;
}

int queue_decode(std::span<const uint8_t> bytes, std::vector<QueueEntry>& entries) {
  const size_t count = bytes.size() / kQueueEntryBytes;
  if (count > kQueueMaxEntries) {
    return kErrCorrupt;
  }
  std::vector<QueueEntry> out;
  try {
    out.reserve(count);
    out.resize(count);
  } catch (const std::bad_alloc&) {
    return kErrNoMem;
  }
  for (size_t i = 0; i < count; ++i) {
    queue_entry_decode(bytes.subspan(i * kQueueEntryBytes).first<kQueueEntryBytes>(), out[i]);
  }
  entries.swap(out);
  return 0;
}

int queue_open(QueueState& q, const char* path) {
  queue_free(q);
  if (!queue_path_ok(path)) {
    return kErrInvalid;
  }
  text_copy_cut(q.path, path);
  int rc = queue_read_file(q.path, q.entries);
  if (rc == kErrNotFound) {
    return queue_save(q);
  }
  return rc;
}

int queue_open_readonly(QueueState& q, const char* path) {
  queue_free(q);
  if (!queue_path_ok(path)) {
    return kErrInvalid;
  }
  text_copy_cut(q.path, path);
  int rc = queue_read_file(q.path, q.entries);
  return rc == kErrNotFound ? 0 : rc;
}

int queue_reload(QueueState& q) {
  if (!queue_path_ok(q.path)) {
    return kErrInvalid;
  }
  return queue_read_file(q.path, q.entries);
}

int queue_reload_or_keep(QueueState& q) {
  int rc = queue_reload(q);
  if (rc != 0) {
    log_msg(kLogError, "vrk_sched: cannot re-read the queue %s -- using the in-memory copy",
            q.path);
  }
  return rc;
}

int queue_save(const QueueState& q) {
  char why[128];
  int rc = queue_save_quiet(q, why);
  if (rc != 0) {
    log_msg(kLogError, "vrk_sched: cannot save the queue %s: %s", q.path, why);
  }
  return rc;
}

void queue_free(QueueState& q) {
  std::vector<QueueEntry>().swap(q.entries);
  q.path[0] = '\0';
}

int queue_lock(const char* path) {
  char lock_path[kQueueSidePathSize];
  if (path == nullptr || !queue_side_path(lock_path, path, ".lock")) {
    log_msg(kLogError, "vrk_sched: cannot open queue lock %s: %s", path ? path : "",
            strerror(ENAMETOOLONG));
    return -1;
  }
  fs_make_parents(lock_path, 0777);
  // Close-on-exec above all here: a flock belongs to the open file, so a descriptor leaked
  // into a job would hold the queue locked for the whole run.
  UniqueFd fd(open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!fd.valid()) {
    log_msg(kLogError, "vrk_sched: cannot open queue lock %s: %s", lock_path, strerror(errno));
    return -1;
  }
  int rc;
  do {
    rc = flock(fd.get(), LOCK_EX);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    log_msg(kLogError, "vrk_sched: cannot lock %s: %s", lock_path, strerror(errno));
    return -1;
  }
  return fd.release();
}

void queue_unlock(int lock_fd) {
  if (lock_fd >= 0) {
    close(lock_fd);
  }
}

QueueEntry* queue_find(QueueState& q, std::string_view name) {
  for (QueueEntry& e : q.entries) {
    if (text_view(e.name) == name) {
      return &e;
    }
  }
  return nullptr;
}

const QueueEntry* queue_find(const QueueState& q, std::string_view name) {
  return queue_find(const_cast<QueueState&>(q), name);
}

int queue_append(QueueState& q, const QueueEntry& entry) {
  try {
    if (q.entries.size() == q.entries.capacity()) {
      const size_t cap = q.entries.capacity();
      q.entries.reserve(cap == 0 ? kQueueFirstCapacity : cap * 2);
    }
    q.entries.push_back(entry);
  } catch (const std::bad_alloc&) {
    return kErrNoMem;
  }
  return 0;
}

int queue_upsert(QueueState& q, const QueueEntry& entry) {
  QueueEntry* old = queue_find(q, text_view(entry.name));
  if (old != nullptr) {
    *old = entry;
  } else {
    int rc = queue_append(q, entry);
    if (rc != 0) {
      return rc;
    }
  }
  return queue_save(q);
}

}  // namespace vrk
