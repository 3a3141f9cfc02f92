// The one configuration loader: strict, first error wins with file and line.
#pragma once

#include <span>
#include <string_view>

#include "sched/config.h"

namespace vrk {

inline constexpr int kConfigErrSize = 512;      // the command line's buffer
inline constexpr int kConfigApiErrSize = 1024;  // the API's buffer

// Loads path into cfg (reset first). 0, or -1 with one message in err. Whatever the outcome,
// the raw password text is wiped; a failed load leaves a record to config_free, never to use.
[[nodiscard]] int config_load(const char* path, SchedConfig& cfg, std::span<char> err);

// The same on text already read; path is only used in messages.
[[nodiscard]] int config_load_text(std::string_view text, const char* path, SchedConfig& cfg,
                                   std::span<char> err);

}  // namespace vrk
