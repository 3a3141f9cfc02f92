#include "common/selftest.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <new>
#include <span>

#include "common/codec.h"
#include "common/crc32c.h"
#include "common/digest.h"
#include "common/error.h"
#include "common/version.h"

namespace vrk {
namespace {

constexpr size_t kSelftestBytes = 262144;
constexpr size_t kSelftestMsgSize = 256;

// FIPS 180-2, SHA-256 of "abc".
constexpr uint8_t kSha256Abc[32] = {
    0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22, 0x23,
    0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17, 0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad,
};
constexpr uint32_t kCrc32cCheck = 0xE3069283;

std::unique_ptr<uint8_t[]> selftest_alloc(size_t n) {
  return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[n]);
}

// Compress, decompress and compare; 0 on a faithful round trip, -1 on any difference, -2 when
// a buffer cannot be allocated.
int selftest_round_trip(int codec, const uint8_t* input) {
  size_t bound = codec_bound(codec, kSelftestBytes);
  if (bound == 0) {
    return -1;
  }
  std::unique_ptr<uint8_t[]> packed = selftest_alloc(bound);
  std::unique_ptr<uint8_t[]> unpacked = selftest_alloc(kSelftestBytes);
  if (!packed || !unpacked) {
    return -2;
  }
  size_t packed_size = codec_compress(codec, 3, input, kSelftestBytes, packed.get(), bound);
  if (packed_size == 0) {
    return -1;
  }
  size_t out_size = 0;
  if (codec_decompress(codec, packed.get(), packed_size, unpacked.get(), kSelftestBytes,
                       out_size) != 0 ||
      out_size != kSelftestBytes || memcmp(unpacked.get(), input, kSelftestBytes) != 0) {
    return -1;
  }
  return 0;
}

}  // namespace

int selftest(char* msg, size_t size) {
  std::span<char> err(msg, msg == nullptr ? 0 : size);
  if (!err.empty()) {
    err[0] = '\0';
  }

  uint8_t digest[32] = {};
  sha256("abc", 3, digest);
  if (memcmp(digest, kSha256Abc, sizeof digest) != 0) {
    err_set(err, "SHA-256 gives a wrong result");
    return 1;
  }

  if (crc32c(0, "123456789", 9) != kCrc32cCheck) {
    err_set(err, "CRC32C gives a wrong result");
    return 1;
  }

  std::unique_ptr<uint8_t[]> input = selftest_alloc(kSelftestBytes);
  if (!input) {
    err_set(err, "out of memory");
    return 1;
  }
  for (size_t i = 0; i < kSelftestBytes; ++i) {
    input[i] = static_cast<uint8_t>(((7 * i) % 256) ^ ((i / 32) % 256));
  }

  struct Codec {
    int codec;
    const char* failure;
  };
  static constexpr Codec kCodecs[] = {
      {kCodecZstd, "zstd round trip failed"},
      {kCodecLz4, "lz4 round trip failed"},
  };
  for (const Codec& c : kCodecs) {
    int rc = selftest_round_trip(c.codec, input.get());
    if (rc == -2) {
      err_set(err, "out of memory");
      return 1;
    }
    if (rc != 0) {
      err_set(err, "%s", c.failure);
      return 1;
    }
  }
  return 0;
}

int version_or_selftest(int argc, char** argv, const char* program_name) {
  bool want_version = false;
  bool want_selftest = false;
  for (int i = 1; i < argc; ++i) {
    if (argv[i] == nullptr) {
      break;
    }
    if (strcmp(argv[i], "--version") == 0) {
      want_version = true;
    } else if (strcmp(argv[i], "--selftest") == 0) {
      want_selftest = true;
    }
  }
  if (want_version) {
    printf("%s %s\n", program_name, kVersion);
    fflush(stdout);
    return 0;
  }
  if (!want_selftest) {
    return -1;
  }
  char msg[kSelftestMsgSize] = {};
  if (selftest(msg, sizeof msg) != 0) {
    fprintf(stderr, "%s: selftest failed: %s\n", program_name, msg);
    return 1;
  }
  printf("%s %s: selftest ok\n", program_name, kVersion);
  fflush(stdout);
  return 0;
}

}  // namespace vrk
