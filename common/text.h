// Fixed-size text fields: copies that refuse input over the limit (configuration, IPC, HTTP,
// JSON) and copies that cut (composed display and log texts), plus the UTF-8 sequence length.
#pragma once

#include <stddef.h>

#include <span>
#include <string_view>

namespace vrk {

// Copies src into dst with a NUL. Returns false and leaves dst empty when src does not fit
// (src.size() >= dst.size()) or dst is empty.
[[nodiscard]] bool text_copy(std::span<char> dst, std::string_view src);

// Copies as much of src as fits into dst (always NUL-terminated unless dst is empty).
void text_copy_cut(std::span<char> dst, std::string_view src);

// Length of the UTF-8 sequence that starts with byte b: 1 for ASCII and stray bytes, 2..4 for
// lead bytes.
size_t utf8_sequence_length(unsigned char b);

// Length (1..4) of the valid UTF-8 sequence at the start of bytes, 0 when it is none: no
// overlong forms, no surrogates, nothing above U+10FFFF, all within available (RFC 3629).
size_t utf8_sequence_length(const unsigned char* bytes, size_t available);

// True for space, tab, line feed, vertical tab, form feed and carriage return.
inline bool text_is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// src without leading and trailing text_is_space characters.
std::string_view text_trim(std::string_view src);

// Length of a NUL-terminated array's text, never reading past the array.
template <size_t N>
size_t text_len(const char (&a)[N]) {
  size_t n = 0;
  while (n < N && a[n] != '\0') {
    ++n;
  }
  return n;
}

template <size_t N>
std::string_view text_view(const char (&a)[N]) {
  return std::string_view(a, text_len(a));
}

// Calls fn for each comma-separated item of value; items empty before trimming (between
// adjacent commas, or at either end) are skipped, the rest are passed trimmed. Stops at the
// first non-zero result of fn and returns it; 0 when every item was taken.
template <typename F>
int text_for_each_item(std::string_view value, F fn) {
  size_t pos = 0;
  while (pos <= value.size()) {
    size_t comma = value.find(',', pos);
    size_t end = comma == std::string_view::npos ? value.size() : comma;
    std::string_view raw = value.substr(pos, end - pos);
    pos = end + 1;
    if (raw.empty()) {
      continue;
    }
    int rc = fn(text_trim(raw));
    if (rc != 0) {
      return rc;
    }
  }
  return 0;
}

}  // namespace vrk
