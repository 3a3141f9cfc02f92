// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78). The SSE4.2 instruction path is chosen
// once per process when the processor has it; otherwise a byte-wise table is used.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace vrk {

// CRC-32C of size bytes at data, continuing from initial (0 to start). Size 0 returns initial.
uint32_t crc32c(uint32_t initial, const void* data, size_t size);

// The two paths behind crc32c, for tests and benchmarks. Same contract as crc32c.
// crc32c_hw requires: crc32c_hw_supported().
bool crc32c_hw_supported();
uint32_t crc32c_hw(uint32_t initial, const void* data, size_t size);
uint32_t crc32c_table(uint32_t initial, const void* data, size_t size);

}  // namespace vrk
