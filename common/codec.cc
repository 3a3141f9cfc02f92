#include "common/codec.h"

#include <limits.h>

#include <algorithm>

#include <lz4.h>
#include <zstd.h>

#include "common/error.h"

namespace vrk {
namespace {

// lz4 counts in int; larger capacities are simply never used in full.
int lz4_capacity(size_t capacity) {
  return static_cast<int>(std::min(capacity, static_cast<size_t>(INT_MAX)));
}

}  // namespace

size_t codec_bound(int codec, size_t size) {
  switch (codec) {
    case kCodecZstd: {
      size_t bound = ZSTD_compressBound(size);
      return ZSTD_isError(bound) ? 0 : bound;
    }
    case kCodecLz4:
      if (size > static_cast<size_t>(LZ4_MAX_INPUT_SIZE)) {
        return 0;
      }
      return static_cast<size_t>(LZ4_compressBound(static_cast<int>(size)));
    default:
      return 0;
  }
}

size_t codec_compress(int codec, int level, const void* source, size_t size, void* destination,
                      size_t capacity) {
  size_t n = 0;
  switch (codec) {
    case kCodecZstd: {
      size_t rc = ZSTD_compress(destination, capacity, source, size, level);
      if (ZSTD_isError(rc)) {
        return 0;
      }
      n = rc;
      break;
    }
    case kCodecLz4: {
      if (size > static_cast<size_t>(LZ4_MAX_INPUT_SIZE)) {
        return 0;
      }
      int rc =
          LZ4_compress_default(static_cast<const char*>(source), static_cast<char*>(destination),
                               static_cast<int>(size), lz4_capacity(capacity));
      if (rc <= 0) {
        return 0;
      }
      n = static_cast<size_t>(rc);
      break;
    }
    default:
      return 0;
  }
  // Stored data is kept raw unless compressing actually saves space.
  return n < size ? n : 0;
}

int codec_decompress(int codec, const void* source, size_t size, void* destination, size_t capacity,
                     size_t& out_size) {
  switch (codec) {
    case kCodecZstd: {
      // zstd reads no bytes as no frames, i.e. empty output; compression never yields an empty
      // result, so an empty input is a truncation, not data.
      if (size == 0) {
        return kErrCorrupt;
      }
      size_t rc = ZSTD_decompress(destination, capacity, source, size);
      if (ZSTD_isError(rc)) {
        return kErrCorrupt;
      }
      out_size = rc;
      return 0;
    }
    case kCodecLz4: {
      // No valid lz4 block is this large, and the library cannot be told its size.
      if (size > static_cast<size_t>(INT_MAX)) {
        return kErrCorrupt;
      }
      int rc =
          LZ4_decompress_safe(static_cast<const char*>(source), static_cast<char*>(destination),
                              static_cast<int>(size), lz4_capacity(capacity));
      if (rc < 0) {
        return kErrCorrupt;
      }
      out_size = static_cast<size_t>(rc);
      return 0;
    }
    default:
      return kErrInvalid;
  }
}

}  // namespace vrk
