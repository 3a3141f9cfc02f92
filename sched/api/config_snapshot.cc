#include "sched/api/config_snapshot.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <new>

#include <openssl/crypto.h>

#include "common/error.h"
#include "common/localzone.h"
#include "common/scope_exit.h"
#include "sched/api/state.h"

namespace vrk {
namespace {

constexpr int kSnapshotAttempts = 3;
constexpr int64_t kNsPerSecond = 1'000'000'000;

// The C library's zone files without TZDIR, and its zone when TZ is unset.
constexpr const char* kZoneDir = "/usr/share/zoneinfo";
constexpr const char* kDefaultZoneFile = "/etc/localtime";

void wipe_text(std::string& text) {
  if (!text.empty()) {
    OPENSSL_cleanse(text.data(), text.size());
  }
  std::string().swap(text);
}

// The last hold on a snapshot's configuration frees it (config_free wipes the password).
struct SharedConfigFree {
  void operator()(const SchedConfig* cfg) const {
    if (cfg != nullptr) {
      auto* owned = const_cast<SchedConfig*>(cfg);
      config_free(*owned);
      SchedConfigFree{}(owned);
    }
  }
};

SnapshotFileStamp stamp_file(const char* path) {
  SnapshotFileStamp s;
  struct stat st = {};
  if (stat(path, &st) != 0) {
    s.err = errno != 0 ? errno : EIO;
    return s;
  }
  s.dev = static_cast<uint64_t>(st.st_dev);
  s.ino = static_cast<uint64_t>(st.st_ino);
  s.mode = static_cast<uint32_t>(st.st_mode);
  s.size = static_cast<int64_t>(st.st_size);
  s.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * kNsPerSecond + st.st_mtim.tv_nsec;
  s.ctime_ns = static_cast<int64_t>(st.st_ctim.tv_sec) * kNsPerSecond + st.st_ctim.tv_nsec;
  return s;
}

bool same_stamp(const SnapshotFileStamp& a, const SnapshotFileStamp& b) {
  return a.err == b.err && a.dev == b.dev && a.ino == b.ino && a.mode == b.mode &&
         a.size == b.size && a.mtime_ns == b.mtime_ns && a.ctime_ns == b.ctime_ns;
}

// A file absent now cannot change unseen: creating it gives a stamp without an error.
bool settled(const SnapshotFileStamp& s, int64_t now_ns) {
  if (s.err != 0) {
    return true;
  }
  const int64_t newest = s.mtime_ns > s.ctime_ns ? s.mtime_ns : s.ctime_ns;
  return newest <= now_ns - kSnapshotSettleNs;
}

// The zone file the C library reads for TZ, as its tzset does: unset means the default file; a
// leading ':' is dropped; empty means UTC; a relative name is looked up under TZDIR or the
// system's zone directory. A POSIX rule text names no file and stamps as missing, which is
// right: TZ alone decides its answers.
std::string zone_file_path(const char* tz) {
  if (tz == nullptr) {
    return kDefaultZoneFile;
  }
  if (*tz == ':') {
    ++tz;
  }
  std::string name = *tz == '\0' ? "Universal" : tz;
  if (name[0] == '/') {
    return name;
  }
  const char* dir = getenv("TZDIR");
  return std::string(dir != nullptr && *dir != '\0' ? dir : kZoneDir) + "/" + name;
}

// Stamps taken before a read; password_hint is the password file of the entry being replaced,
// the best guess before the text names one.
SnapshotInputs stamp_inputs(const char* path, const std::string& password_hint) {
  SnapshotInputs in;
  in.config = stamp_file(path);
  in.password_path = password_hint;
  if (!password_hint.empty()) {
    in.password = stamp_file(password_hint.c_str());
  }
  const char* tz = getenv("TZ");
  in.tz_set = tz != nullptr;
  if (tz != nullptr) {
    in.tz = tz;
  }
  in.zone = stamp_file(zone_file_path(tz).c_str());
  in.zone_generation = localzone_generation();
  return in;
}

bool same_inputs(const SnapshotInputs& a, const SnapshotInputs& b) {
  return same_stamp(a.config, b.config) && a.password_path == b.password_path &&
         same_stamp(a.password, b.password) && a.tz_set == b.tz_set && a.tz == b.tz &&
         same_stamp(a.zone, b.zone) && a.zone_generation == b.zone_generation;
}

// A read that starts after now_ns sees every write that left these stamps; a later write of
// a settled file gives a newer time (one tick at most behind the clock), so its stamp differs.
bool inputs_settled(const SnapshotInputs& in, int64_t now_ns) {
  return settled(in.config, now_ns) && settled(in.password, now_ns) && settled(in.zone, now_ns);
}

void fill_from_cache(const ConfigSnapshotCache& cache, ConfigSnapshot& snapshot) {
  snapshot.text = cache.text;
  snapshot.length = snapshot.text.size();
  memcpy(snapshot.etag, cache.etag, sizeof snapshot.etag);
  snapshot.config_owner = cache.config;
  snapshot.config = snapshot.config_owner.get();
}

// The read of config_snapshot_read_with; inputs (when given) learns the password file.
int read_fresh(const char* path, ConfigFileReader read, ConfigLoadInputs* inputs,
               ConfigSnapshot& snapshot, std::span<char> err) {
  if (!err.empty()) {
    err[0] = '\0';
  }
  config_snapshot_release(snapshot);
  std::string again;
  ScopeExit wipe_again([&] { wipe_text(again); });
  char again_tag[kConfigEtagSize];
  SchedConfigPtr loaded;
  ScopeExit free_loaded([&] {
    if (loaded) {
      config_free(*loaded);
    }
  });
  try {
    for (int attempt = 0; attempt < kSnapshotAttempts; ++attempt) {
      if (read(path, snapshot.text, snapshot.etag) != 0) {
        config_snapshot_release(snapshot);
        err_set(err, "cannot read %s", path);
        return -1;
      }
      snapshot.length = snapshot.text.size();
      if (!loaded) {
        loaded = config_new();
        if (!loaded) {
          config_snapshot_release(snapshot);
          err_set(err, "out of memory");
          return -1;
        }
      } else {
        config_free(*loaded);
      }
      const int rc = inputs != nullptr
                         ? config_load_text_inputs(snapshot.text, path, *loaded, *inputs, err)
                         : config_load_text(snapshot.text, path, *loaded, err);
      if (rc != 0) {
        config_snapshot_release(snapshot);
        return -1;
      }
      if (read(path, again, again_tag) != 0) {
        config_snapshot_release(snapshot);
        err_set(err, "cannot read %s", path);
        return -1;
      }
      if (strcmp(snapshot.etag, again_tag) == 0) {
        // The deleter owns the record from here, even when the hold cannot be allocated.
        snapshot.config_owner =
            std::shared_ptr<const SchedConfig>(loaded.release(), SharedConfigFree{});
        snapshot.config = snapshot.config_owner.get();
        return 0;
      }
    }
  } catch (const std::bad_alloc&) {
    config_snapshot_release(snapshot);
    err_set(err, "out of memory");
    return -1;
  }
  config_snapshot_release(snapshot);
  err_set(err, "%s keeps changing", path);
  return -1;
}

int64_t wall_clock_ns() {
  struct timespec ts = {};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

}  // namespace

ConfigSnapshotCache::~ConfigSnapshotCache() {
  config_snapshot_cache_clear(*this);
}

int config_snapshot_read(const ApiState& state, ConfigSnapshot& snapshot, std::span<char> err) {
  // One thread (the daemon's loop) reads snapshots; the entry lives until the process ends.
  static ConfigSnapshotCache cache;
  return config_snapshot_read_cached(state.config_path, cache, config_read_with_etag,
                                     wall_clock_ns(), snapshot, err);
}

int config_snapshot_read_with(const char* path, ConfigFileReader read, ConfigSnapshot& snapshot,
                              std::span<char> err) {
  return read_fresh(path, read, nullptr, snapshot, err);
}

int config_snapshot_read_cached(const char* path, ConfigSnapshotCache& cache, ConfigFileReader read,
                                int64_t now_ns, ConfigSnapshot& snapshot, std::span<char> err) {
  if (!err.empty()) {
    err[0] = '\0';
  }
  config_snapshot_release(snapshot);
  try {
    const bool same_path = cache.config != nullptr && cache.path == path;
    SnapshotInputs now = stamp_inputs(path, same_path ? cache.inputs.password_path : std::string());
    if (same_path && cache.trusted && same_inputs(now, cache.inputs)) {
      fill_from_cache(cache, snapshot);
      return 0;
    }
    config_snapshot_cache_clear(cache);
    ConfigLoadInputs loaded;
    if (read_fresh(path, read, &loaded, snapshot, err) != 0) {
      return -1;
    }
    // A password file other than the guessed one was stamped after the read: one more read
    // then, with the right file stamped first.
    bool trusted = now.password_path == loaded.password_file;
    if (!trusted) {
      now.password_path = loaded.password_file;
      now.password =
          now.password_path.empty() ? SnapshotFileStamp{} : stamp_file(now.password_path.c_str());
    }
    cache.path = path;
    cache.inputs = std::move(now);
    cache.trusted = trusted && inputs_settled(cache.inputs, now_ns);
    cache.text = snapshot.text;
    memcpy(cache.etag, snapshot.etag, sizeof cache.etag);
    cache.config = snapshot.config_owner;
  } catch (const std::bad_alloc&) {
    config_snapshot_cache_clear(cache);
    config_snapshot_release(snapshot);
    err_set(err, "out of memory");
    return -1;
  }
  return 0;
}

void config_snapshot_cache_clear(ConfigSnapshotCache& cache) {
  cache.config.reset();
  wipe_text(cache.text);
  cache.path.clear();
  cache.trusted = false;
  cache.inputs = SnapshotInputs{};
  memset(cache.etag, 0, sizeof cache.etag);
}

void config_snapshot_release(ConfigSnapshot& snapshot) {
  snapshot.config_owner.reset();
  wipe_text(snapshot.text);
  snapshot = ConfigSnapshot{};
}

}  // namespace vrk
