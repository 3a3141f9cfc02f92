// Small file-system helpers shared by the run log, the queue file and the job logs.
#pragma once

#include <sys/types.h>

namespace vrk {

// mkdir -p: creates dir and every missing parent with mode (before the umask). True when dir
// exists as a directory afterwards; false for a path of 4096 bytes or more, or a failure.
bool fs_make_dirs(const char* dir, mode_t mode);

// Creates every missing directory above the file at path; failures are left for the following
// open to report.
void fs_make_parents(const char* path, mode_t mode);

}  // namespace vrk
