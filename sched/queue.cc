#include "sched/queue.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <stdlib.h>
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
#include "common/scope_exit.h"
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

// The path plus ".lock", ".tmp" or ".tmp.XXXXXX".
constexpr size_t kQueueSidePathSize = kQueuePathSize + 16;
// Attempts of queue_open at a file that vanishes between being created and being read.
constexpr int kQueueOpenAttempts = 3;

// The queue locks this process holds, from queue_lock to queue_unlock. A save may use the fixed
// "<path>.tmp" only under the lock: two writers of one temporary file truncate each other's
// data, and the second rename finds the file gone. The lock file's identity is kept so that a
// descriptor number reused after a stray close, or a lock file replaced meanwhile, is not
// mistaken for the lock.
struct HeldLock {
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  char path[kQueuePathSize] = {};
};
constexpr size_t kHeldLocksMax = 4;
HeldLock g_held_locks[kHeldLocksMax];

bool queue_side_path(char (&out)[kQueueSidePathSize], const char* path, const char* suffix) {
  int n = snprintf(out, sizeof out, "%s%s", path, suffix);
  return n > 0 && static_cast<size_t>(n) < sizeof out;
}

bool queue_path_ok(const char* path) {
  return path != nullptr && path[0] != '\0' && strlen(path) < kQueuePathSize;
}

void queue_lock_remember(int fd, const char* path) {
  struct stat st = {};
  if (fstat(fd, &st) != 0) {
    return;
  }
  for (HeldLock& h : g_held_locks) {
    if (h.fd < 0) {
      if (text_copy(h.path, path)) {
        h.fd = fd;
        h.dev = st.st_dev;
        h.ino = st.st_ino;
      }
      return;
    }
  }
}

void queue_lock_forget(int fd) {
  for (HeldLock& h : g_held_locks) {
    if (h.fd == fd) {
      h = HeldLock{};
    }
  }
}

// Whether this process holds the queue lock of path (see HeldLock).
bool queue_lock_held(const char* path) {
  char lock_path[kQueueSidePathSize];
  struct stat on_disk = {};
  if (!queue_side_path(lock_path, path, ".lock") || stat(lock_path, &on_disk) != 0) {
    return false;
  }
  for (const HeldLock& h : g_held_locks) {
    struct stat st = {};
    if (h.fd >= 0 && strcmp(h.path, path) == 0 && fstat(h.fd, &st) == 0 && st.st_dev == h.dev &&
        st.st_ino == h.ino && on_disk.st_dev == h.dev && on_disk.st_ino == h.ino) {
      return true;
    }
  }
  return false;
}

// The permission bits a file created with mode gets under the current umask.
mode_t queue_mode_after_umask(mode_t mode) {
  mode_t mask = umask(0);
  umask(mask);
  return mode & ~mask;
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

// Syncs the directory holding path, so a new file's name survives a crash. Best effort.
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

// The save without its log line: the error kind, with the reason ("open: Permission denied")
// in why.
int queue_save_quiet(const QueueState& q, char (&why)[kQueueSaveWhySize]) {
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
  auto fail = [&](const char* step) {
    int e = errno;
    snprintf(why, sizeof why, "%s: %s", step, strerror(e));
    return error_from_errno(e);
  };
  UniqueFd fd;
  bool unique = false;
  if (queue_lock_held(q.path)) {
    fd.reset(open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  } else {
    // Without the lock another writer may be saving too: a name of our own keeps the two
    // temporary files apart, and the renames then only race over which whole file stays.
    if (!queue_side_path(tmp, q.path, ".tmp.XXXXXX")) {
      text_copy_cut(why, "path too long");
      return kErrInvalid;
    }
    fd.reset(mkostemp(tmp, O_CLOEXEC));
    unique = fd.valid();
  }
  if (!fd.valid()) {
    return fail("open");
  }
  // A name of our own is never used again, so a failure must not leave it behind.
  ScopeExit drop_unique([&] {
    if (unique) {
      unlink(tmp);
    }
  });
  // mkostemp creates mode 0600; the queue file is 0644 like a locked save's.
  if (unique && fchmod(fd.get(), queue_mode_after_umask(0644)) != 0) {
    return fail("fchmod");
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
  drop_unique.dismiss();
  // No sync of the directory: the rename alone keeps the file whole (old or new, never part of
  // either), and a directory sync costs as much as the file's own, twice in every run.
  return 0;
}

// Creates the missing file at q.path empty with O_EXCL instead of saving it: an empty file is
// already a whole queue, so it needs no temporary file and no lock (the daemon opens the queue
// while holding the lock, so taking it here would deadlock on the second descriptor), and it
// never replaces a file another process made meanwhile. 0 created, 1 when the file exists
// after all (read it), or the error kind, logged like a failed save.
int queue_create_missing(const QueueState& q) {
  fs_make_parents(q.path, 0777);
  UniqueFd fd(open(q.path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!fd.valid()) {
    int e = errno;
    if (e == EEXIST) {
      return 1;
    }
    log_msg(kLogError, "vrk_sched: cannot save the queue %s: create: %s", q.path, strerror(e));
    return error_from_errno(e);
  }
  const char* step = fsync(fd.get()) != 0 ? "fsync" : close(fd.release()) != 0 ? "close" : nullptr;
  if (step != nullptr) {
    int e = errno;
    log_msg(kLogError, "vrk_sched: cannot save the queue %s: %s: %s", q.path, step, strerror(e));
    return error_from_errno(e);
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
  for (int attempt = 1;; ++attempt) {
    int rc = queue_read_file(q.path, q.entries);
    if (rc != kErrNotFound || attempt == kQueueOpenAttempts) {
      return rc;
    }
    rc = queue_create_missing(q);
    if (rc <= 0) {
      return rc;
    }
  }
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
  char why[kQueueSaveWhySize];
  return queue_save_why(q, why);
}

int queue_save_why(const QueueState& q, char (&why)[kQueueSaveWhySize]) {
  // A queue that cannot be written (read-only or full file system) fails the same way in every
  // pass: log each distinct failure once, and again only after a save has worked.
  static char last_logged[kQueuePathSize + kQueueSaveWhySize];
  int rc = queue_save_quiet(q, why);
  if (rc == 0) {
    last_logged[0] = '\0';
    return 0;
  }
  char key[sizeof last_logged];
  snprintf(key, sizeof key, "%s\n%s", q.path, why);
  if (strcmp(key, last_logged) != 0) {
    log_msg(kLogError, "vrk_sched: cannot save the queue %s: %s", q.path, why);
    text_copy_cut(last_logged, key);
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
  queue_lock_remember(fd.get(), path);
  return fd.release();
}

void queue_unlock(int lock_fd) {
  if (lock_fd >= 0) {
    queue_lock_forget(lock_fd);
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

namespace {

// FNV-1a over the name; the slot of name, or of the empty slot where it would go.
size_t queue_index_slot(const QueueState& q, const QueueIndex& index, std::string_view name) {
  uint32_t h = 2166136261u;
  for (char c : name) {
    h ^= static_cast<uint8_t>(c);
    h *= 16777619u;
  }
  const size_t mask = index.slots.size() - 1;
  size_t slot = h & mask;
  while (index.slots[slot] != 0 && text_view(q.entries[index.slots[slot] - 1].name) != name) {
    slot = (slot + 1) & mask;
  }
  return slot;
}

}  // namespace

int queue_index_build(const QueueState& q, size_t spare, QueueIndex& index) {
  // At most half full, so probes stay short and always end at an empty slot.
  size_t size = 16;
  while (size < 2 * (q.entries.size() + spare)) {
    size *= 2;
  }
  try {
    index.slots.assign(size, 0);
  } catch (const std::bad_alloc&) {
    return kErrNoMem;
  }
  for (size_t i = 0; i < q.entries.size(); ++i) {
    queue_index_add(q, index, i);
  }
  return 0;
}

void queue_index_add(const QueueState& q, QueueIndex& index, size_t i) {
  size_t slot = queue_index_slot(q, index, text_view(q.entries[i].name));
  if (index.slots[slot] == 0) {
    index.slots[slot] = static_cast<uint32_t>(i + 1);
  }
}

int64_t queue_index_find(const QueueState& q, const QueueIndex& index, std::string_view name) {
  if (index.slots.empty()) {
    return -1;
  }
  size_t slot = queue_index_slot(q, index, name);
  return index.slots[slot] == 0 ? -1 : static_cast<int64_t>(index.slots[slot]) - 1;
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
