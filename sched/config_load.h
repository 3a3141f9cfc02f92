// The one configuration loader: strict, first error wins with file and line.
#pragma once

#include <stddef.h>

#include <span>
#include <string_view>

#include "sched/config.h"

namespace vrk {

inline constexpr int kConfigErrSize = 512;        // the command line's buffer
inline constexpr int kConfigApiErrSize = 1024;    // the API's buffer
inline constexpr int kConfigLoadPathSize = 1024;  // holds any value of a line's raw password

// The line scanner shared with the tokens file: line is one raw line without its trailing line
// feeds and carriage returns. Returns the length of the line without its comment, or -1 for an
// unterminated quote or text after a closing quote.
ptrdiff_t config_scan_line(std::string_view line);

// Loads path into cfg (reset first). 0, or -1 with one message in err. Whatever the outcome,
// the raw password text is wiped; a failed load leaves a record to config_free, never to use.
[[nodiscard]] int config_load(const char* path, SchedConfig& cfg, std::span<char> err);

// The same on text already read; path is only used in messages.
[[nodiscard]] int config_load_text(std::string_view text, const char* path, SchedConfig& cfg,
                                   std::span<char> err);

// What a load read besides its text: the path of the [mail] 'smtp-password' file ("file:"
// value) as the loader used it, empty when there is none. Not a secret.
struct ConfigLoadInputs {
  char password_file[kConfigLoadPathSize] = {};
};

// config_load_text that also fills inputs (emptied first), whatever the outcome.
[[nodiscard]] int config_load_text_inputs(std::string_view text, const char* path, SchedConfig& cfg,
                                          ConfigLoadInputs& inputs, std::span<char> err);

}  // namespace vrk
