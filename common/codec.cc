#include "common/codec.h"

#include <dlfcn.h>
#include <limits.h>

#include <algorithm>

#include <lz4.h>
#include <zstd.h>

#include "common/error.h"

namespace vrk {
namespace {

// Only the self-test uses the two libraries, so they are loaded when it first needs them
// rather than mapped and relocated at every start of both programs. Loaded by soname, so the
// distribution's updates apply as with linking; a library that cannot be loaded leaves its
// codec unusable (the self-test reports it), never the program.
inline constexpr const char* kZstdSoname = "libzstd.so.1";
inline constexpr const char* kLz4Soname = "liblz4.so.1";

struct CodecLibs {
  decltype(&ZSTD_compressBound) zstd_bound = nullptr;
  decltype(&ZSTD_isError) zstd_is_error = nullptr;
  decltype(&ZSTD_compress) zstd_compress = nullptr;
  decltype(&ZSTD_decompress) zstd_decompress = nullptr;
  decltype(&LZ4_compressBound) lz4_bound = nullptr;
  decltype(&LZ4_compress_default) lz4_compress = nullptr;
  decltype(&LZ4_decompress_safe) lz4_decompress = nullptr;
};

template <typename F>
bool codec_symbol(void* lib, const char* name, F& out) {
  out = lib != nullptr ? reinterpret_cast<F>(dlsym(lib, name)) : nullptr;
  return out != nullptr;
}

CodecLibs codec_load() {
  CodecLibs l;
  // Never closed: the codecs stay usable for the life of the process.
  void* zstd = dlopen(kZstdSoname, RTLD_NOW | RTLD_LOCAL);
  if (!codec_symbol(zstd, "ZSTD_compressBound", l.zstd_bound) ||
      !codec_symbol(zstd, "ZSTD_isError", l.zstd_is_error) ||
      !codec_symbol(zstd, "ZSTD_compress", l.zstd_compress) ||
      !codec_symbol(zstd, "ZSTD_decompress", l.zstd_decompress)) {
    l.zstd_bound = nullptr;
  }
  void* lz4 = dlopen(kLz4Soname, RTLD_NOW | RTLD_LOCAL);
  if (!codec_symbol(lz4, "LZ4_compressBound", l.lz4_bound) ||
      !codec_symbol(lz4, "LZ4_compress_default", l.lz4_compress) ||
      !codec_symbol(lz4, "LZ4_decompress_safe", l.lz4_decompress)) {
    l.lz4_bound = nullptr;
  }
  return l;
}

// The loaded functions; a codec is usable when its bound function is set.
const CodecLibs& codec_libs() {
  static const CodecLibs libs = codec_load();
  return libs;
}

bool codec_usable(int codec) {
  const CodecLibs& l = codec_libs();
  return (codec == kCodecZstd && l.zstd_bound != nullptr) ||
         (codec == kCodecLz4 && l.lz4_bound != nullptr);
}

// lz4 counts in int; larger capacities are simply never used in full.
int lz4_capacity(size_t capacity) {
  return static_cast<int>(std::min(capacity, static_cast<size_t>(INT_MAX)));
}

}  // namespace

size_t codec_bound(int codec, size_t size) {
  if (!codec_usable(codec)) {
    return 0;
  }
  const CodecLibs& l = codec_libs();
  switch (codec) {
    case kCodecZstd: {
      size_t bound = l.zstd_bound(size);
      return l.zstd_is_error(bound) ? 0 : bound;
    }
    case kCodecLz4:
      if (size > static_cast<size_t>(LZ4_MAX_INPUT_SIZE)) {
        return 0;
      }
      return static_cast<size_t>(l.lz4_bound(static_cast<int>(size)));
    default:
      return 0;
  }
}

size_t codec_compress(int codec, int level, const void* source, size_t size, void* destination,
                      size_t capacity) {
  if (!codec_usable(codec)) {
    return 0;
  }
  const CodecLibs& l = codec_libs();
  size_t n = 0;
  switch (codec) {
    case kCodecZstd: {
      size_t rc = l.zstd_compress(destination, capacity, source, size, level);
      if (l.zstd_is_error(rc)) {
        return 0;
      }
      n = rc;
      break;
    }
    case kCodecLz4: {
      if (size > static_cast<size_t>(LZ4_MAX_INPUT_SIZE)) {
        return 0;
      }
      int rc = l.lz4_compress(static_cast<const char*>(source), static_cast<char*>(destination),
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
  if (codec != kCodecZstd && codec != kCodecLz4) {
    return kErrInvalid;
  }
  if (!codec_usable(codec)) {
    return kErrNotSupported;
  }
  const CodecLibs& l = codec_libs();
  switch (codec) {
    case kCodecZstd: {
      // zstd reads no bytes as no frames, i.e. empty output; compression never yields an empty
      // result, so an empty input is a truncation, not data.
      if (size == 0) {
        return kErrCorrupt;
      }
      size_t rc = l.zstd_decompress(destination, capacity, source, size);
      if (l.zstd_is_error(rc)) {
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
      int rc = l.lz4_decompress(static_cast<const char*>(source), static_cast<char*>(destination),
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
