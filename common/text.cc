#include "common/text.h"

#include <string.h>

namespace vrk {

bool text_copy(std::span<char> dst, std::string_view src) {
  if (dst.empty()) {
    return false;
  }
  if (src.size() >= dst.size()) {
    dst[0] = '\0';
    return false;
  }
  if (!src.empty()) {  // an empty view may have no data pointer at all
    memcpy(dst.data(), src.data(), src.size());
  }
  dst[src.size()] = '\0';
  return true;
}

void text_copy_cut(std::span<char> dst, std::string_view src) {
  if (dst.empty()) {
    return;
  }
  size_t n = src.size() < dst.size() - 1 ? src.size() : dst.size() - 1;
  if (n > 0) {
    memcpy(dst.data(), src.data(), n);
  }
  dst[n] = '\0';
}

size_t utf8_sequence_length(unsigned char b) {
  if (b >= 0xF0 && b <= 0xF7) {
    return 4;
  }
  if (b >= 0xE0) {
    return b <= 0xEF ? 3 : 1;
  }
  if (b >= 0xC0) {
    return 2;
  }
  return 1;
}

std::string_view text_trim(std::string_view src) {
  size_t b = 0;
  size_t e = src.size();
  while (b < e && text_is_space(src[b])) {
    ++b;
  }
  while (e > b && text_is_space(src[e - 1])) {
    --e;
  }
  return src.substr(b, e - b);
}

}  // namespace vrk
