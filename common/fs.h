// Small file-system helpers shared by the run log, the queue file, the job logs and the files
// that hold API secrets.
#pragma once

#include <sys/types.h>

#include <span>

namespace vrk {

// mkdir -p: creates dir and every missing parent with mode (before the umask). True when dir
// exists as a directory afterwards; false for a path of 4096 bytes or more, or a failure.
bool fs_make_dirs(const char* dir, mode_t mode);

// Creates every missing directory above the file at path; failures are left for the following
// open to report.
void fs_make_parents(const char* path, mode_t mode);

// The rule for a file of secrets open as fd: a regular file that group and others cannot use.
// 0, or -1 with "<path> is not a regular file" or "<path> must not be accessible by
// group/others (chmod 600)" in err.
[[nodiscard]] int fs_private_file_check(int fd, const char* path, std::span<char> err);

}  // namespace vrk
