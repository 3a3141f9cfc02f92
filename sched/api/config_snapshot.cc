#include "sched/api/config_snapshot.h"

#include <string.h>

#include <new>

#include <openssl/crypto.h>

#include "common/error.h"
#include "common/scope_exit.h"
#include "sched/api/state.h"
#include "sched/config_load.h"

namespace vrk {
namespace {

constexpr int kSnapshotAttempts = 3;

void wipe_text(std::string& text) {
  if (!text.empty()) {
    OPENSSL_cleanse(text.data(), text.size());
  }
  std::string().swap(text);
}

}  // namespace

int config_snapshot_read(const ApiState& state, ConfigSnapshot& snapshot, std::span<char> err) {
  return config_snapshot_read_with(state.config_path, config_read_with_etag, snapshot, err);
}

int config_snapshot_read_with(const char* path, ConfigFileReader read, ConfigSnapshot& snapshot,
                              std::span<char> err) {
  if (!err.empty()) {
    err[0] = '\0';
  }
  config_snapshot_release(snapshot);
  std::string again;
  ScopeExit wipe_again([&] { wipe_text(again); });
  char again_tag[kConfigEtagSize];
  try {
    for (int attempt = 0; attempt < kSnapshotAttempts; ++attempt) {
      if (read(path, snapshot.text, snapshot.etag) != 0) {
        config_snapshot_release(snapshot);
        err_set(err, "cannot read %s", path);
        return -1;
      }
      snapshot.length = snapshot.text.size();
      if (snapshot.config == nullptr) {
        snapshot.config = config_new().release();
        if (snapshot.config == nullptr) {
          config_snapshot_release(snapshot);
          err_set(err, "out of memory");
          return -1;
        }
      } else {
        config_free(*snapshot.config);
      }
      if (config_load_text(snapshot.text, path, *snapshot.config, err) != 0) {
        config_snapshot_release(snapshot);
        return -1;
      }
      if (read(path, again, again_tag) != 0) {
        config_snapshot_release(snapshot);
        err_set(err, "cannot read %s", path);
        return -1;
      }
      if (strcmp(snapshot.etag, again_tag) == 0) {
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

void config_snapshot_release(ConfigSnapshot& snapshot) {
  if (snapshot.config != nullptr) {
    config_free(*snapshot.config);
    SchedConfigFree{}(snapshot.config);
  }
  wipe_text(snapshot.text);
  snapshot = ConfigSnapshot{};
}

}  // namespace vrk
