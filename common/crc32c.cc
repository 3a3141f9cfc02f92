#include "common/crc32c.h"

#include <nmmintrin.h>
#include <string.h>

#include <array>

namespace vrk {
namespace {

constexpr uint32_t kCrc32cPoly = 0x82F63B78;

const std::array<uint32_t, 256>& crc32c_lookup() {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t = {};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) {
        c = (c & 1) ? (c >> 1) ^ kCrc32cPoly : c >> 1;
      }
      t[i] = c;
    }
    return t;
  }();
  return table;
}

}  // namespace

bool crc32c_hw_supported() {
  // This may run before the CPU model is set up by the runtime's own constructor.
  static const bool supported = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.2") != 0;
  }();
  return supported;
}

// Only this function is compiled for SSE4.2, so nothing else in the file can pick up
// instructions that a processor without it lacks.
[[gnu::target("sse4.2")]] uint32_t crc32c_hw(uint32_t initial, const void* data, size_t size) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint64_t crc = ~initial;
  while (size >= 8) {
    uint64_t word = 0;
    memcpy(&word, p, sizeof word);  // unaligned load
    crc = _mm_crc32_u64(crc, word);
    p += 8;
    size -= 8;
  }
  uint32_t crc32 = static_cast<uint32_t>(crc);
  if (size >= 4) {
    uint32_t word = 0;
    memcpy(&word, p, sizeof word);
    crc32 = _mm_crc32_u32(crc32, word);
    p += 4;
    size -= 4;
  }
  while (size > 0) {
    crc32 = _mm_crc32_u8(crc32, *p);
    ++p;
    --size;
  }
  return ~crc32;
}

uint32_t crc32c_table(uint32_t initial, const void* data, size_t size) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  const std::array<uint32_t, 256>& table = crc32c_lookup();
  uint32_t crc = ~initial;
  for (size_t i = 0; i < size; ++i) {
    crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  }
  return ~crc;
}

uint32_t crc32c(uint32_t initial, const void* data, size_t size) {
  if (size == 0) {
    return initial;
  }
  return crc32c_hw_supported() ? crc32c_hw(initial, data, size) : crc32c_table(initial, data, size);
}

}  // namespace vrk
