// A job's argument vector: program, fixed first argument, profile, background, retention and
// the args tokens. Entries borrow from the command table and the JobConfig.
#pragma once

#include <span>
#include <vector>

#include "sched/config.h"

namespace vrk {

// Fills argv (cleared first) with the entries and a terminating nullptr; count excludes it.
// 0, or -1 with "internal error: unknown command enum %d" or "out of memory".
// The entries stay valid only while job is loaded.
[[nodiscard]] int job_build_argv(const JobConfig& job, int background,
                                 std::vector<const char*>& argv, int& count, std::span<char> err);

}  // namespace vrk
