// Fuzz target: the line diff of the change notice. The input is split at its first NUL byte (or
// in the middle) into an old and a new text; the diff must end inside its area with a NUL,
// consist of whole "+<n>: " and "-    " lines (or one of the two fixed notes), number its
// added lines in increasing order, and never show a password value.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <string_view>

#include "sched/api/config_diff.h"

namespace {

char g_out[vrk::kConfigDiffSize];

bool starts_with(std::string_view s, std::string_view p) {
  return s.substr(0, p.size()) == p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view raw(reinterpret_cast<const char*>(data), size);
  size_t cut = raw.find('\0');
  std::string_view old_text = raw.substr(0, cut == std::string_view::npos ? size / 2 : cut);
  std::string_view new_text =
      cut == std::string_view::npos ? raw.substr(size / 2) : raw.substr(cut + 1);
  memset(g_out, 'X', sizeof g_out);
  size_t n = vrk::config_diff_lines(old_text, new_text, g_out);
  if (n >= sizeof g_out || g_out[n] != '\0') {
    abort();
  }
  std::string_view diff(g_out, n);
  if (diff == "(file too long for a line diff)\n" || diff == "(no memory for a diff)\n") {
    return 0;
  }
  size_t last_added = 0;
  size_t pos = 0;
  while (pos < diff.size()) {
    size_t nl = diff.find('\n', pos);
    if (nl == std::string_view::npos) {
      abort();  // a line cut in the middle
    }
    std::string_view line = diff.substr(pos, nl - pos);
    pos = nl + 1;
    std::string_view shown;
    if (starts_with(line, "-    ")) {
      shown = line.substr(5);
    } else if (starts_with(line, "+")) {
      size_t colon = line.find(": ");
      if (colon == std::string_view::npos || colon < 2) {
        abort();
      }
      size_t number = strtoul(std::string(line.substr(1, colon - 1)).c_str(), nullptr, 10);
      if (number <= last_added) {
        abort();
      }
      last_added = number;
      shown = line.substr(colon + 2);
    } else {
      abort();
    }
    size_t lead = shown.find_first_not_of(" \t");
    if (lead != std::string_view::npos && starts_with(shown.substr(lead), "smtp-password") &&
        shown.find('=') != std::string_view::npos && shown != "smtp-password=***") {
      std::string_view rest = shown.substr(lead + 13);
      size_t eq = rest.find_first_not_of(" \t");
      if (eq != std::string_view::npos && rest[eq] == '=') {
        abort();
      }
    }
  }
  return 0;
}
