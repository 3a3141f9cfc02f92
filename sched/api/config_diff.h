// The line diff of the configuration-change notice: which lines a change added (with their
// numbers in the new file) and which it removed, from a longest common subsequence of lines,
// with the SMTP password masked on both sides.
#pragma once

#include <stddef.h>

#include <span>
#include <string_view>

namespace vrk {

inline constexpr size_t kConfigDiffSize = 40960;     // the diff area of the notice
inline constexpr size_t kDiffLineSize = 1100;        // one masked line: at most 1099 bytes
inline constexpr size_t kConfigDiffMaxLines = 2000;  // texts with this many lines get no diff

// line (length bytes, without its line feed) as the diff shows it: "smtp-password=***" when its
// first non-blank characters are "smtp-password" followed by optional blanks and "=", else the
// line itself cut to out.size() - 1 bytes. out is NUL-terminated (unless empty); returns the
// length written.
size_t diff_mask_line(const char* line, size_t length, std::span<char> out);

// Writes the diff of old_text and new_text into out (NUL-terminated; kConfigDiffSize bytes in
// the notice): "+<n>: <line>\n" for a line added as line n of the new text, "-    <line>\n"
// for a removed line, in walk order (added lines first where both orders are as short). A line
// that does not fit with the terminating NUL ends the diff. "(file too long for a line
// diff)\n" when either text has kConfigDiffMaxLines lines or more, "(no memory for a
// diff)\n" when the work tables cannot be had. Returns the length written.
size_t config_diff_lines(std::string_view old_text, std::string_view new_text, std::span<char> out);

}  // namespace vrk
