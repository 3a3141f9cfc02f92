// Job dependencies: accepting an 'after' value into a job, and proving the graph is acyclic.
#pragma once

#include <span>
#include <string_view>

#include "sched/config.h"

namespace vrk {

// Splits value at commas into job.after (appending). 0, or -1 with one of the four item
// messages, which carry no file and line.
[[nodiscard]] int after_parse(std::string_view value, JobConfig& job, std::span<char> err);

// 0, or -1 with "cycle in 'after': <path>" (or "out of memory"). Changes nothing.
[[nodiscard]] int after_check_cycles(const SchedConfig& cfg, std::span<char> err);

}  // namespace vrk
