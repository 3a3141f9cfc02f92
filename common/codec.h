// Compression wrappers for the self-test's round trips: one codec number per library.
// Sizes are in bytes; the caller owns every buffer.
#pragma once

#include <stddef.h>

namespace vrk {

inline constexpr int kCodecZstd = 1;
inline constexpr int kCodecLz4 = 2;

// Worst-case compressed size of size input bytes (the library's own bound); 0 for an unknown
// codec, one whose library cannot be loaded, or an input the codec cannot take.
size_t codec_bound(int codec, size_t size);

// Compresses size bytes into destination (capacity bytes). Returns the compressed size, or 0
// when the codec is unknown, compression failed, or the result is not smaller than the input.
// lz4 ignores level.
size_t codec_compress(int codec, int level, const void* source, size_t size, void* destination,
                      size_t capacity);

// Decompresses size bytes into destination (capacity bytes) and sets out_size. Returns 0,
// kErrCorrupt when the data is empty or the library refuses it (too little capacity included),
// kErrInvalid for an unknown codec, or kErrNotSupported when the codec's library cannot be
// loaded (the libraries are loaded on first use). out_size is left alone on failure.
[[nodiscard]] int codec_decompress(int codec, const void* source, size_t size, void* destination,
                                   size_t capacity, size_t& out_size);

}  // namespace vrk
