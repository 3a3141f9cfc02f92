// ConfigSnapshot: one consistent read of the configuration file for an API request: its bytes,
// its ETag (the quoted SHA-256 of exactly those bytes) and the configuration parsed from them.
// The handler that read it owns it and releases it before it returns. ConfigSnapshotCache keeps
// the last snapshot of a file with the stamps of everything its answer depends on, so that an
// unchanged file is served without a read; any doubt means a fresh read.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <span>
#include <string>

#include "sched/config.h"
#include "sched/config_load.h"
#include "sched/config_write.h"

namespace vrk {

struct ApiState;

struct ConfigSnapshot {
  std::string text;  // the file's bytes (at most 1 MiB, no NUL byte); c_str() is terminated
  size_t length = 0;
  char etag[kConfigEtagSize] = {};
  // Loaded from text; read-only, as it may be shared with the snapshot cache and other
  // snapshots. config_owner keeps it alive.
  const SchedConfig* config = nullptr;
  std::shared_ptr<const SchedConfig> config_owner;
};

// Reads state.config_path, parses it and reads it again until two reads give the same ETag,
// at most three times. 0; or -1 with snapshot released and one message in err (kConfigApiErrSize
// bytes): "cannot read %s", "out of memory", the parser's message, or "%s keeps changing".
// The file is only ever read. Served from the process's snapshot cache when the file and
// everything else the answer depends on are unchanged (config_snapshot_read_cached).
[[nodiscard]] int config_snapshot_read(const ApiState& state, ConfigSnapshot& snapshot,
                                       std::span<char> err);

// The file reader of config_snapshot_read (config_read_with_etag); a parameter so that tests
// can give a file that changes between reads.
using ConfigFileReader = int (*)(const char* path, std::string& text, char (&tag)[kConfigEtagSize]);

// config_snapshot_read of path with read as the file reader, without a cache.
[[nodiscard]] int config_snapshot_read_with(const char* path, ConfigFileReader read,
                                            ConfigSnapshot& snapshot, std::span<char> err);

// The status of one file as stat(2) gives it (symbolic links followed); err is the errno when
// there is none (then every other field is zero).
struct SnapshotFileStamp {
  int32_t err = 0;
  uint64_t dev = 0;
  uint64_t ino = 0;
  uint32_t mode = 0;
  int64_t size = 0;
  int64_t mtime_ns = 0;
  int64_t ctime_ns = 0;
};

// What the answer of a snapshot read depends on besides the configuration file's bytes: the
// SMTP password file that the loader read, and the local time zone ('once' times go through
// mktime): TZ, the zone file the C library uses for it, and localzone_generation().
struct SnapshotInputs {
  SnapshotFileStamp config;
  std::string password_path;  // empty: the file names none
  SnapshotFileStamp password;
  bool tz_set = false;
  std::string tz;
  SnapshotFileStamp zone;
  uint64_t zone_generation = 0;
};

// The last successful snapshot of one path. The text may hold a literal password: it is wiped
// when replaced or cleared, and by the destructor.
struct ConfigSnapshotCache {
  std::string path;
  bool trusted = false;  // false: the stamps may miss a change; never served
  SnapshotInputs inputs;
  std::string text;
  char etag[kConfigEtagSize] = {};
  std::shared_ptr<const SchedConfig> config;

  ConfigSnapshotCache() = default;
  ConfigSnapshotCache(const ConfigSnapshotCache&) = delete;
  ConfigSnapshotCache& operator=(const ConfigSnapshotCache&) = delete;
  ~ConfigSnapshotCache();
};

// How long a stamped file must have been left alone (its newest of modification and change
// time before the read began) for its stamp to be trusted: file times come from a coarse clock,
// so two writes of the same size within one tick can leave the same stamp; no file system in
// use here has ticks of a second or more.
inline constexpr int64_t kSnapshotSettleNs = 1'000'000'000;

// config_snapshot_read_with, served from cache when its entry is trusted and every stamp of
// SnapshotInputs matches the files and the zone as they are now (a stat each, no read). Any
// mismatch reads the file afresh, which replaces the entry on success and clears it on failure.
// now_ns is the current wall-clock time in nanoseconds (CLOCK_REALTIME): the settling of the
// stamps is judged against it.
[[nodiscard]] int config_snapshot_read_cached(const char* path, ConfigSnapshotCache& cache,
                                              ConfigFileReader read, int64_t now_ns,
                                              ConfigSnapshot& snapshot, std::span<char> err);

// Forgets the entry, wiping its text.
void config_snapshot_cache_clear(ConfigSnapshotCache& cache);

// Wipes and frees the text (it may hold a literal password), drops this snapshot's hold on the
// parsed configuration (freed, password wiped, with the last hold) and zeroes the record; safe
// to call twice.
void config_snapshot_release(ConfigSnapshot& snapshot);

}  // namespace vrk
