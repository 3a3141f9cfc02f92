#include "common/codec.h"

#include <stdint.h>
#include <string.h>

#include <vector>

#include <gtest/gtest.h>

#include "common/error.h"

namespace vrk {
namespace {

std::vector<uint8_t> codec_compressible(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) {
    v[i] = static_cast<uint8_t>("backup job log line\n"[i % 20]);
  }
  return v;
}

// Deterministic noise that neither codec can shrink.
std::vector<uint8_t> codec_noise(size_t n) {
  std::vector<uint8_t> v(n);
  uint32_t x = 2463534242u;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    v[i] = static_cast<uint8_t>(x >> 24);
  }
  return v;
}

std::vector<uint8_t> codec_pack(int codec, const std::vector<uint8_t>& in) {
  std::vector<uint8_t> out(codec_bound(codec, in.size()));
  size_t n = codec_compress(codec, 3, in.data(), in.size(), out.data(), out.size());
  out.resize(n);
  return out;
}

TEST(CodecCompress, RoundTripsBothCodecs) {
  for (int codec : {kCodecZstd, kCodecLz4}) {
    SCOPED_TRACE(codec);
    std::vector<uint8_t> in = codec_compressible(10000);
    EXPECT_GE(codec_bound(codec, in.size()), in.size());
    std::vector<uint8_t> packed = codec_pack(codec, in);
    ASSERT_GT(packed.size(), 0u);
    EXPECT_LT(packed.size(), in.size());
    std::vector<uint8_t> out(in.size());
    size_t out_size = 0;
    ASSERT_EQ(
        codec_decompress(codec, packed.data(), packed.size(), out.data(), out.size(), out_size), 0);
    EXPECT_EQ(out_size, in.size());
    EXPECT_TRUE(out == in);
  }
}

TEST(CodecCompress, ReturnsZeroWhenNotSmaller) {
  struct Case {
    const char* name;
    std::vector<uint8_t> input;
  };
  const Case cases[] = {
      {"100 random bytes", codec_noise(100)},
      {"empty", {}},
      {"one byte", {0x41}},
  };
  for (const Case& c : cases) {
    for (int codec : {kCodecZstd, kCodecLz4}) {
      SCOPED_TRACE(testing::Message() << c.name << " codec " << codec);
      std::vector<uint8_t> out(codec_bound(codec, c.input.size()) + 1);
      EXPECT_EQ(codec_compress(codec, 3, c.input.data(), c.input.size(), out.data(), out.size()),
                0u);
    }
  }
}

TEST(CodecCompress, ReturnsZeroWhenDestinationTooSmall) {
  std::vector<uint8_t> in = codec_compressible(10000);
  for (int codec : {kCodecZstd, kCodecLz4}) {
    SCOPED_TRACE(codec);
    uint8_t out[8];
    EXPECT_EQ(codec_compress(codec, 3, in.data(), in.size(), out, sizeof out), 0u);
  }
}

TEST(CodecCompress, UnknownCodec) {
  std::vector<uint8_t> in = codec_compressible(1000);
  std::vector<uint8_t> out(2000);
  for (int codec : {0, 3, -1}) {
    SCOPED_TRACE(codec);
    EXPECT_EQ(codec_bound(codec, in.size()), 0u);
    EXPECT_EQ(codec_compress(codec, 3, in.data(), in.size(), out.data(), out.size()), 0u);
    size_t out_size = 77;
    EXPECT_EQ(codec_decompress(codec, in.data(), in.size(), out.data(), out.size(), out_size),
              kErrInvalid);
    EXPECT_EQ(out_size, 77u);
  }
}

TEST(CodecDecompress, RefusesDamagedInput) {
  const std::vector<uint8_t> in = codec_compressible(10000);
  for (int codec : {kCodecZstd, kCodecLz4}) {
    const std::vector<uint8_t> packed = codec_pack(codec, in);
    ASSERT_GT(packed.size(), 8u);
    struct Case {
      const char* name;
      std::vector<uint8_t> data;
      size_t capacity;
    };
    std::vector<uint8_t> truncated(packed.begin(), packed.end() - 1);
    const Case cases[] = {
        {"empty", {}, in.size()},
        {"one byte short", truncated, in.size()},
        {"capacity one byte short", packed, in.size() - 1},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << c.name << " codec " << codec);
      std::vector<uint8_t> out(in.size());
      size_t out_size = 77;
      EXPECT_EQ(
          codec_decompress(codec, c.data.data(), c.data.size(), out.data(), c.capacity, out_size),
          kErrCorrupt);
      EXPECT_EQ(out_size, 77u);
    }
  }
  // Not a zstd frame at all.
  const char junk[] = "plain text, no frame magic";
  uint8_t out[64];
  size_t out_size = 0;
  EXPECT_EQ(codec_decompress(kCodecZstd, junk, sizeof junk, out, sizeof out, out_size),
            kErrCorrupt);
}

}  // namespace
}  // namespace vrk
