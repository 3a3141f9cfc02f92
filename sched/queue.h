// The queue state file: one fixed 172-byte little-endian entry (QueueEntry) per job, no header.
// QueueState is the file in memory: its entries in file order and its path. Processes change it
// only under the exclusive flock on "<path>.lock", and every write replaces the file whole
// (temporary file, fsync, rename), so readers never see half a file.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

#include "sched/config.h"

namespace vrk {

enum class JobState : uint8_t {
  kPending = 0,
  kRunning = 1,
  kDone = 2,
  kFailed = 3,
  kDisabled = 4,
};

inline constexpr int kQueueNameSize = 128;
inline constexpr int kQueuePathSize = 1024;
inline constexpr size_t kQueueEntryBytes = 172;
// Next run of a job that has none.
inline constexpr int64_t kQueueNever = INT64_MAX;
inline constexpr uint32_t kQueuePidMax = 0xFFFFFF;
// A file holding more entries than this is refused as corrupt: the configuration has at most
// kMaxJobs jobs, and a larger size can only be damage that would otherwise exhaust memory.
inline constexpr size_t kQueueMaxEntries = 65536;
inline constexpr size_t kQueueFirstCapacity = 16;
inline constexpr const char* kQueueDefaultPath = "/var/lib/vrk_sched/queue.state";
// The process name (/proc/<pid>/comm) of a live job runner.
inline constexpr const char* kQueueRunnerComm = "vrk_sched";

// One job's entry. runner_pid holds at most 24 bits on disk: set it with queue_entry_set_pid.
struct QueueEntry {
  char name[kQueueNameSize] = {};
  JobState state = JobState::kPending;
  uint32_t runner_pid = 0;            // 0 = none
  uint32_t schedule_fingerprint = 0;  // 0 = not yet computed
  int64_t next_run = 0;               // kQueueNever = never
  int64_t last_run = 0;               // 0 = never ran
  int64_t last_finish = 0;            // 0 = never
  int32_t exit_code = -1;             // -1 = none, not started, or killed by a signal
  int64_t dependency_mark = 0;        // latest 'after' finish time that started this job
};
static_assert(std::is_trivially_copyable_v<QueueEntry>);

// entries.size() is the count; the capacity grows 0 -> 16 -> doubling (queue_append). Pointers
// into entries stay valid until the next append, reload or sync.
struct QueueState {
  std::vector<QueueEntry> entries;
  char path[kQueuePathSize] = {};
};

// "PENDING", "RUNNING", "DONE", "FAILED", "DISABLED", or "?" for any other value.
const char* queue_state_name(JobState state);

// A fresh entry for name (cut to 127 bytes): PENDING, next run never, exit code -1, rest 0.
QueueEntry queue_entry_make(std::string_view name);

// The runner pid (0 = none). Setting a pid outside 1..16777215 stores 0.
uint32_t queue_entry_pid(const QueueEntry& entry);
void queue_entry_set_pid(QueueEntry& entry, int64_t pid);

// The 172 bytes of one entry. Decoding never fails: the name is cut to 127 bytes, the state
// byte is kept as stored (queue_state_name shows an unknown one as "?").
void queue_entry_encode(const QueueEntry& entry, std::span<uint8_t, kQueueEntryBytes> out);
void queue_entry_decode(std::span<const uint8_t, kQueueEntryBytes> in, QueueEntry& entry);

// Decodes the whole entries of a file's bytes into entries (trailing bytes that do not fill an
// entry are ignored; capacity = count). 0; kErrCorrupt past kQueueMaxEntries; kErrNoMem.
// entries is replaced only on success.
[[nodiscard]] int queue_decode(std::span<const uint8_t> bytes, std::vector<QueueEntry>& entries);

// Clears q, stores path and reads the file; a missing file is created empty (with its
// directory) without replacing one another process creates at the same moment, which is then
// read instead. Needs no lock and works as well with the lock held. 0 or an error kind:
// kErrInvalid for an empty or over-long path, the read's or the creation's kind, kErrCorrupt
// for a short read or an absurd size, kErrNoMem.
[[nodiscard]] int queue_open(QueueState& q, const char* path);

// Like queue_open for readers that only display: a missing file gives an empty queue and is
// not created. Never writes anything.
[[nodiscard]] int queue_open_readonly(QueueState& q, const char* path);

// Re-reads q.path; the entries are replaced only on success (a vanished file is kErrNotFound
// and keeps the in-memory copy).
[[nodiscard]] int queue_reload(QueueState& q);

// queue_reload that logs "cannot re-read the queue" at ERROR on failure, as every process that
// changes the queue does before working on its in-memory copy. Returns queue_reload's result.
int queue_reload_or_keep(QueueState& q);

// Writes every entry to a temporary file, syncs it and renames it over the path (directory
// created first). The temporary file is "<path>.tmp" while this process holds the path's queue
// lock, else a name of its own ("<path>.tmp.XXXXXX", removed on failure), so that two writers
// never share one. 0 or an error kind; on failure the old file stays and the failure is logged
// at ERROR (see queue_save_why).
[[nodiscard]] int queue_save(const QueueState& q);

inline constexpr int kQueueSaveWhySize = 128;

// queue_save that also gives the reason of a failure ("open: Permission denied") in why. A
// failure is logged only when it differs from the last one logged (a save that works resets
// that), so a file system that stays read-only gives one line, not one per pass.
[[nodiscard]] int queue_save_why(const QueueState& q, char (&why)[kQueueSaveWhySize]);

// Releases the entries and clears the path; safe to call twice.
void queue_free(QueueState& q);

// Opens (creating, mode 0644) "<path>.lock" close-on-exec and takes an exclusive flock on it.
// Returns the descriptor, or -1 after logging the failure at ERROR (callers go on without it).
int queue_lock(const char* path);
// Closes a descriptor from queue_lock, releasing the lock; -1 is ignored.
void queue_unlock(int lock_fd);

// Holds the queue lock from take() until release() or the end of its scope, so no path can
// forget to let it go. held() is false when the lock could not be taken (already logged; the
// caller goes on without it, as every user of the queue does).
class QueueLock {
 public:
  QueueLock() = default;
  explicit QueueLock(const char* path) : fd_(queue_lock(path)) {}
  QueueLock(const QueueLock&) = delete;
  QueueLock& operator=(const QueueLock&) = delete;
  ~QueueLock() { release(); }

  // Releases a lock still held, then takes the lock of path.
  void take(const char* path) {
    release();
    fd_ = queue_lock(path);
  }
  void release() {
    queue_unlock(fd_);
    fd_ = -1;
  }
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// The first entry whose name equals name exactly, or nullptr.
QueueEntry* queue_find(QueueState& q, std::string_view name);
const QueueEntry* queue_find(const QueueState& q, std::string_view name);

// Entry positions by name for callers that look up many names (reconciliation, job lists):
// same answers as queue_find, in constant time. Holds positions, not pointers, so appending to
// the entries keeps it valid; any other change of the entries needs a rebuild.
struct QueueIndex {
  std::vector<uint32_t> slots;  // 0 = empty, else entry position + 1; a power of two in size
};

// Indexes every entry of q, with room for spare more (queue_index_add). 0 or kErrNoMem.
[[nodiscard]] int queue_index_build(const QueueState& q, size_t spare, QueueIndex& index);

// Adds q.entries[i] unless an earlier entry has its name. Requires: room left by the build.
void queue_index_add(const QueueState& q, QueueIndex& index, size_t i);

// The position of the first entry named name, or -1.
int64_t queue_index_find(const QueueState& q, const QueueIndex& index, std::string_view name);

// Appends a copy of entry, growing the capacity 0 -> 16 -> doubling. 0 or kErrNoMem.
[[nodiscard]] int queue_append(QueueState& q, const QueueEntry& entry);

// Replaces every field of the entry named like entry, or appends it; then queue_save.
// 0, kErrNoMem, or the save's error kind.
[[nodiscard]] int queue_upsert(QueueState& q, const QueueEntry& entry);

}  // namespace vrk
