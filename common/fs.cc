#include "common/fs.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include "common/error.h"
#include "common/text.h"

namespace vrk {
namespace {

inline constexpr size_t kFsPathSize = 4096;

// Walks the '/' separators of path (from the second byte, so "/" itself is never created) and
// creates each prefix; with whole, path itself as well.
bool make_prefixes(const char* path, mode_t mode, bool whole) {
  char buf[kFsPathSize];
  if (!text_copy(buf, path)) {
    return false;
  }
  size_t len = strlen(buf);
  for (size_t i = 1; i <= len; ++i) {
    bool end = buf[i] == '\0';
    if (buf[i] != '/' && !end) {
      continue;
    }
    if (end && !whole) {
      break;
    }
    char saved = buf[i];
    buf[i] = '\0';
    if (mkdir(buf, mode) != 0 && errno != EEXIST && whole) {
      return false;
    }
    buf[i] = saved;
  }
  return true;
}

}  // namespace

bool fs_make_dirs(const char* dir, mode_t mode) {
  if (!make_prefixes(dir, mode, true)) {
    return false;
  }
  struct stat st = {};
  return stat(dir, &st) == 0 && S_ISDIR(st.st_mode);
}

void fs_make_parents(const char* path, mode_t mode) {
  (void)make_prefixes(path, mode, false);
}

int fs_private_file_check(int fd, const char* path, std::span<char> err) {
  err_set(err, "%s", "");
  struct stat st = {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    err_set(err, "%s is not a regular file", path);
    return -1;
  }
  if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    err_set(err, "%s must not be accessible by group/others (chmod 600)", path);
    return -1;
  }
  return 0;
}

}  // namespace vrk
