#include "sched/api/config_diff.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <new>
#include <vector>

#include "common/text.h"

namespace vrk {
namespace {

constexpr std::string_view kPasswordKey = "smtp-password";
constexpr std::string_view kPasswordShown = "smtp-password=***";

struct Line {
  const char* text;
  size_t length;  // without the line feed
  uint64_t hash;
};

uint64_t line_hash(const char* p, size_t n) {
  uint64_t h = 1469598103934665603ULL;  // FNV-1a
  for (size_t i = 0; i < n; ++i) {
    h = (h ^ static_cast<unsigned char>(p[i])) * 1099511628211ULL;
  }
  return h;
}

// The lines of text, each without its line feed; a final line without one counts, an empty
// text has none. False when the text has kConfigDiffMaxLines lines or more.
bool split_lines(std::string_view text, std::vector<Line>& out) {
  size_t pos = 0;
  while (pos < text.size()) {
    if (out.size() >= kConfigDiffMaxLines - 1) {
      return false;
    }
    size_t nl = text.find('\n', pos);
    size_t end = nl == std::string_view::npos ? text.size() : nl;
    out.push_back(Line{text.data() + pos, end - pos, line_hash(text.data() + pos, end - pos)});
    pos = end + 1;
  }
  return true;
}

bool same_line(const Line& a, const Line& b) {
  return a.hash == b.hash && a.length == b.length && memcmp(a.text, b.text, a.length) == 0;
}

// Appends text to out at len when it fits with the NUL; false (nothing written) otherwise.
bool put(std::span<char> out, size_t& len, std::string_view text) {
  if (len + text.size() + 1 > out.size()) {
    return false;
  }
  memcpy(out.data() + len, text.data(), text.size());
  len += text.size();
  out[len] = '\0';
  return true;
}

size_t put_whole(std::span<char> out, std::string_view text) {
  size_t len = 0;
  if (!out.empty()) {
    out[0] = '\0';
    text_copy_cut(out, text);
    len = strlen(out.data());
  }
  return len;
}

// One diff line: prefix, the masked line, "\n"; false when it does not fit.
bool put_line(std::span<char> out, size_t& len, std::string_view prefix, const Line& line) {
  char masked[kDiffLineSize];
  size_t n = diff_mask_line(line.text, line.length, masked);
  if (len + prefix.size() + n + 2 > out.size()) {
    return false;
  }
  return put(out, len, prefix) && put(out, len, std::string_view(masked, n)) && put(out, len, "\n");
}

}  // namespace

size_t diff_mask_line(const char* line, size_t length, std::span<char> out) {
  if (out.empty()) {
    return 0;
  }
  std::string_view text(line, length);
  // Blank is whatever the configuration loader trims around a key (vertical tab, form feed and
  // carriage return too): a line it reads as the password must never be shown.
  size_t i = 0;
  while (i < text.size() && text_is_space(text[i])) {
    ++i;
  }
  if (text.substr(i).starts_with(kPasswordKey)) {
    size_t j = i + kPasswordKey.size();
    while (j < text.size() && text_is_space(text[j])) {
      ++j;
    }
    if (j < text.size() && text[j] == '=') {
      text = kPasswordShown;
    }
  }
  size_t n = text.size() < out.size() - 1 ? text.size() : out.size() - 1;
  memcpy(out.data(), text.data(), n);
  out[n] = '\0';
  return n;
}

size_t config_diff_lines(std::string_view old_text, std::string_view new_text,
                         std::span<char> out) {
  if (out.empty()) {
    return 0;
  }
  out[0] = '\0';
  std::vector<Line> a;
  std::vector<Line> b;
  std::unique_ptr<uint16_t[]> table;
  size_t n = 0;
  size_t m = 0;
  try {
    if (!split_lines(old_text, a) || !split_lines(new_text, b)) {
      return put_whole(out, "(file too long for a line diff)\n");
    }
    n = a.size();
    m = b.size();
    table.reset(new uint16_t[(n + 1) * (m + 1)]);
  } catch (const std::bad_alloc&) {
    return put_whole(out, "(no memory for a diff)\n");
  }
  // L(i, j): the longest common subsequence of a[i..] and b[j..]; below 2000 lines it fits.
  const size_t width = m + 1;
  auto L = [&](size_t i, size_t j) -> uint16_t& { return table[i * width + j]; };
  for (size_t i = n + 1; i-- > 0;) {
    for (size_t j = m + 1; j-- > 0;) {
      if (i == n || j == m) {
        L(i, j) = 0;
      } else if (same_line(a[i], b[j])) {
        L(i, j) = static_cast<uint16_t>(L(i + 1, j + 1) + 1);
      } else {
        L(i, j) = L(i + 1, j) > L(i, j + 1) ? L(i + 1, j) : L(i, j + 1);
      }
    }
  }
  size_t len = 0;
  size_t i = 0;
  size_t j = 0;
  while (i < n || j < m) {
    if (i < n && j < m && same_line(a[i], b[j])) {
      ++i;
      ++j;
    } else if (j < m && (i == n || L(i, j + 1) >= L(i + 1, j))) {
      char prefix[32];
      int p = snprintf(prefix, sizeof prefix, "+%zu: ", j + 1);
      if (!put_line(out, len, std::string_view(prefix, static_cast<size_t>(p)), b[j])) {
        break;
      }
      ++j;
    } else {
      if (!put_line(out, len, "-    ", a[i])) {
        break;
      }
      ++i;
    }
  }
  return len;
}

}  // namespace vrk
