#include "sched/config_write.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <vector>

#include <openssl/crypto.h>

#include "common/digest.h"
#include "common/error.h"
#include "common/fd.h"
#include "common/fs.h"
#include "common/scope_exit.h"
#include "sched/config.h"
#include "sched/config_load.h"

namespace vrk {
namespace {

inline constexpr size_t kPathSize = 4096;
inline constexpr int kHistoryNames = 1000;
inline constexpr std::string_view kHistorySuffix = ".cfg";

// Replaces text and wipes the old buffer: the file may hold a literal password.
void text_wipe(std::string& text) {
  OPENSSL_cleanse(text.data(), text.size());
  text.clear();
}

// Reads fd to its end into text, refusing more than kConfigMaxBytes. Grows by doubling from
// the size fstat gave, wiping each buffer it leaves.
bool read_all(int fd, size_t size_hint, std::string& text) {
  try {
    std::string buf;
    buf.resize(std::min(size_hint, kConfigMaxBytes) + 1);
    size_t have = 0;
    for (;;) {
      if (have == buf.size()) {
        if (buf.size() > kConfigMaxBytes) {
          text_wipe(buf);
          return false;
        }
        std::string bigger;
        bigger.resize(std::min(buf.size() * 2, kConfigMaxBytes + 1));
        memcpy(bigger.data(), buf.data(), have);
        text_wipe(buf);
        buf.swap(bigger);
      }
      ssize_t n = read(fd, buf.data() + have, buf.size() - have);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n < 0) {
        text_wipe(buf);
        return false;
      }
      if (n == 0) {
        break;
      }
      have += static_cast<size_t>(n);
    }
    buf.resize(have);  // shrinking keeps the buffer
    text.swap(buf);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// The loader names the file it read; the caller knows it by path. Every occurrence of from is
// replaced by to, cut to the size of err.
void replace_all(std::string_view msg, std::string_view from, std::string_view to,
                 std::span<char> err) {
  if (err.empty()) {
    return;
  }
  size_t n = 0;
  auto put = [&](std::string_view s) {
    for (char c : s) {
      if (n + 1 < err.size()) {
        err[n++] = c;
      }
    }
  };
  size_t pos = 0;
  while (pos < msg.size()) {
    size_t hit = from.empty() ? std::string_view::npos : msg.find(from, pos);
    if (hit == std::string_view::npos) {
      put(msg.substr(pos));
      break;
    }
    put(msg.substr(pos, hit - pos));
    put(to);
    pos = hit + from.size();
  }
  err[n] = '\0';
}

// Keeps the newest keep ".cfg" files of dir (by name, byte order); the file just written is
// never among those deleted, even when a hand-placed name sorts after it. Problems are ignored.
void history_prune(const char* dir, uint32_t keep, std::string_view just_written) {
  std::vector<std::string> names;
  try {
    DIR* d = opendir(dir);
    if (d == nullptr) {
      return;
    }
    ScopeExit close_dir([d]() { closedir(d); });
    while (struct dirent* e = readdir(d)) {
      std::string_view name = e->d_name;
      if (name.size() >= 5 && name.ends_with(kHistorySuffix)) {
        names.emplace_back(name);
      }
    }
  } catch (const std::bad_alloc&) {
    return;
  }
  std::sort(names.begin(), names.end());
  size_t excess = names.size() > keep ? names.size() - keep : 0;
  for (size_t i = 0; i < names.size() && excess > 0; ++i) {
    if (names[i] == just_written) {
      continue;
    }
    char path[kPathSize];
    int n = snprintf(path, sizeof(path), "%s/%s", dir, names[i].c_str());
    if (n > 0 && static_cast<size_t>(n) < sizeof(path)) {
      unlink(path);
    }
    --excess;
  }
}

// The record each write is validated into, kept for the life of the process: a 1.2 MB record
// allocated per write went back to the system when freed and was faulted in again, with the
// next snapshot's, some 500 page faults per change and more than the parse itself costs.
// Emptied after every use (config_free also wipes the password). Null when out of memory.
SchedConfig* validation_record() {
  static SchedConfigPtr record;
  if (record == nullptr) {
    record = config_new();
  }
  return record.get();
}

bool tag_differs(const char* expected_tag, const char (&tag)[kConfigEtagSize]) {
  return expected_tag != nullptr && strcmp(expected_tag, tag) != 0;
}

// Copies the file about to be replaced into the history directory (its name into file). With
// expected_tag, a file whose content no longer has that tag is not copied: kConfigWriteChanged.
int history_keep_copy(const char* path, const char* dir, const char* expected_tag,
                      char (&file)[kPathSize], std::span<char> err) {
  file[0] = '\0';
  if (!fs_make_dirs(dir, 0777)) {
    err_set(err, "cannot create %s", dir);
    return kConfigWriteFailed;
  }
  // Earlier versions may hold a literal password; the files are 0600 as well.
  chmod(dir, 0700);
  std::string old;
  char tag[kConfigEtagSize];
  if (config_read_with_etag(path, old, tag) != 0) {
    err_set(err, "cannot read %s", path);
    return kConfigWriteFailed;
  }
  ScopeExit wipe([&old]() { text_wipe(old); });
  if (tag_differs(expected_tag, tag)) {
    err_set(err, "%s was changed since it was read", path);
    return kConfigWriteChanged;
  }
  time_t now = time(nullptr);
  struct tm tm = {};
  char stamp[32];
  if (gmtime_r(&now, &tm) == nullptr ||
      strftime(stamp, sizeof(stamp), "%Y%m%dT%H%M%SZ", &tm) == 0) {
    err_set(err, "cannot write into %s: %s", dir, strerror(EINVAL));
    return kConfigWriteFailed;
  }
  UniqueFd fd;
  int n = 0;
  int open_errno = EEXIST;
  for (; n < kHistoryNames; ++n) {
    int len = snprintf(file, sizeof(file), "%s/%s-%03d.cfg", dir, stamp, n);
    if (len < 0 || static_cast<size_t>(len) >= sizeof(file)) {
      open_errno = ENAMETOOLONG;
      break;
    }
    fd.reset(open(file, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd.valid()) {
      break;
    }
    open_errno = errno;
    if (open_errno != EEXIST) {
      break;
    }
  }
  if (!fd.valid()) {
    err_set(err, "cannot write into %s: %s", dir, strerror(open_errno));
    return kConfigWriteFailed;
  }
  // Synced before the rename, so a crash cannot lose both the old file and its copy.
  bool ok = write_all(fd.get(), old) && fsync(fd.get()) == 0;
  ok = close(fd.release()) == 0 && ok;
  if (!ok) {
    unlink(file);
    err_set(err, "cannot write %s", file);
    file[0] = '\0';
    return kConfigWriteFailed;
  }
  return 0;
}

// The directory entry of the rename reaches the disk; failures are ignored.
void sync_parent_dir(const char* path) {
  char dir[kPathSize];
  const char* slash = strrchr(path, '/');
  if (slash == nullptr) {
    snprintf(dir, sizeof(dir), ".");
  } else if (slash == path) {
    snprintf(dir, sizeof(dir), "/");
  } else {
    int n = snprintf(dir, sizeof(dir), "%.*s", static_cast<int>(slash - path), path);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(dir)) {
      return;
    }
  }
  UniqueFd fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) {
    fsync(fd.get());
  }
}

}  // namespace

void config_content_tag(std::string_view bytes, char (&tag)[kConfigEtagSize]) {
  uint8_t digest[32];
  char hex[65];
  sha256(bytes.data(), bytes.size(), digest);
  sha256_hex(digest, hex);
  snprintf(tag, sizeof(tag), "\"%s\"", hex);
}

int config_read_with_etag(const char* path, std::string& text, char (&tag)[kConfigEtagSize]) {
  text_wipe(text);
  tag[0] = '\0';
  // O_NONBLOCK: a FIFO in its place must not hang the daemon; only a regular file is read.
  UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat st = {};
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<uint64_t>(st.st_size) > kConfigMaxBytes) {
    return -1;
  }
  std::string buf;
  if (!read_all(fd.get(), static_cast<size_t>(st.st_size), buf)) {
    return -1;
  }
  if (memchr(buf.data(), '\0', buf.size()) != nullptr) {
    text_wipe(buf);
    return -1;
  }
  config_content_tag(buf, tag);
  text.swap(buf);
  return 0;
}

int config_write(const char* path, std::string_view text, const char* history_dir,
                 uint32_t history_keep, bool check_only, std::span<char> err) {
  return config_write_if_unchanged(path, text, nullptr, history_dir, history_keep, check_only, err);
}

int config_write_if_unchanged(const char* path, std::string_view text, const char* expected_tag,
                              const char* history_dir, uint32_t history_keep, bool check_only,
                              std::span<char> err) {
  if (!err.empty()) {
    err[0] = '\0';
  }
  // A larger file would load but could no longer be read back with its tag by the API.
  if (text.size() > kConfigMaxBytes) {
    err_set(err, "%s: the configuration would be larger than %zu bytes", path, kConfigMaxBytes);
    return kConfigWriteInvalid;
  }
  struct stat st = {};
  if (stat(path, &st) != 0) {
    err_set(err, "cannot stat %s: %s", path, strerror(errno));
    return kConfigWriteFailed;
  }
  char tmp[kPathSize];
  int len = snprintf(tmp, sizeof(tmp), "%s.api-tmp.%d", path, static_cast<int>(getpid()));
  if (len < 0 || static_cast<size_t>(len) >= sizeof(tmp)) {
    err_set(err, "cannot write %s: %s", path, strerror(ENAMETOOLONG));
    return kConfigWriteFailed;
  }
  // Left over by a crash of an earlier process with the same id.
  unlink(tmp);
  UniqueFd fd(open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.valid()) {
    err_set(err, "cannot write %s: %s", tmp, strerror(errno));
    return kConfigWriteFailed;
  }
  ScopeExit remove_tmp([&tmp]() { unlink(tmp); });
  bool ok = write_all(fd.get(), text);
  if (geteuid() == 0) {
    ok = ok && fchown(fd.get(), st.st_uid, st.st_gid) == 0;
  } else if (st.st_gid != getegid()) {
    // Allowed when we are in the file's group; otherwise the group is the directory's rule.
    (void)!fchown(fd.get(), static_cast<uid_t>(-1), st.st_gid);
  }
  // After the owner: a change of owner clears the set-id bits.
  ok = ok && fchmod(fd.get(), st.st_mode & 07777) == 0;
  ok = ok && fsync(fd.get()) == 0;
  ok = close(fd.release()) == 0 && ok;
  if (!ok) {
    err_set(err, "cannot write %s", tmp);
    return kConfigWriteFailed;
  }
  SchedConfig* scratch = validation_record();
  if (scratch == nullptr) {
    err_set(err, "out of memory");
    return kConfigWriteFailed;
  }
  char load_err[kPathSize + kConfigApiErrSize];
  int rc = config_load(tmp, *scratch, load_err);
  config_free(*scratch);
  if (rc != 0) {
    replace_all(load_err, tmp, path,
                err.first(std::min(err.size(), static_cast<size_t>(kConfigApiErrSize))));
    return kConfigWriteInvalid;
  }
  if (check_only) {
    return 0;
  }
  char copy[kPathSize] = {};
  if (history_keep > 0) {
    rc = history_keep_copy(path, history_dir, expected_tag, copy, err);
    if (rc != 0) {
      return rc;
    }
  }
  // A hand edit can land while the temporary file and the copy are synced: look once more,
  // as late as possible, so that it is not silently replaced. An editor that writes between
  // this read and the rename still loses; without a lock shared with editors that cannot close.
  if (expected_tag != nullptr) {
    std::string now;
    char tag[kConfigEtagSize];
    const bool read_ok = config_read_with_etag(path, now, tag) == 0;
    text_wipe(now);
    if (!read_ok || tag_differs(expected_tag, tag)) {
      if (copy[0] != '\0') {
        unlink(copy);
      }
      err_set(err, "%s was changed since it was read", path);
      return kConfigWriteChanged;
    }
  }
  if (copy[0] != '\0') {
    const char* slash = strrchr(copy, '/');
    history_prune(history_dir, history_keep, slash != nullptr ? slash + 1 : copy);
  }
  if (rename(tmp, path) != 0) {
    err_set(err, "cannot replace %s: %s", path, strerror(errno));
    return kConfigWriteFailed;
  }
  remove_tmp.dismiss();
  sync_parent_dir(path);
  return 0;
}

}  // namespace vrk
