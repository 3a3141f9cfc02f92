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

size_t utf8_sequence_length(const unsigned char* bytes, size_t available) {
  if (available == 0) {
    return 0;
  }
  unsigned char b = bytes[0];
  if (b < 0x80) {
    return 1;
  }
  size_t n = 0;
  // Bounds of the first continuation byte exclude overlong forms, surrogates and > U+10FFFF.
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    lo = b == 0xE0 ? 0xA0 : 0x80;
    hi = b == 0xED ? 0x9F : 0xBF;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    lo = b == 0xF0 ? 0x90 : 0x80;
    hi = b == 0xF4 ? 0x8F : 0xBF;
  } else {
    return 0;
  }
  if (available < n || bytes[1] < lo || bytes[1] > hi) {
    return 0;
  }
  for (size_t i = 2; i < n; ++i) {
    if (bytes[i] < 0x80 || bytes[i] > 0xBF) {
      return 0;
    }
  }
  return n;
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
