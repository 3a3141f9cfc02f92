#include "common/crc32c.h"

#include <stdint.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vrk {
namespace {

std::vector<uint8_t> crc_pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) {
    v[i] = static_cast<uint8_t>(i * 37 + 11);
  }
  return v;
}

TEST(Crc32c, KnownValues) {
  std::vector<uint8_t> zeros(32, 0x00);
  std::vector<uint8_t> ones(32, 0xFF);
  std::vector<uint8_t> up(32);
  std::vector<uint8_t> down(32);
  for (int i = 0; i < 32; ++i) {
    up[i] = static_cast<uint8_t>(i);
    down[i] = static_cast<uint8_t>(31 - i);
  }
  const std::vector<uint8_t> check = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  struct Case {
    const char* name;
    const std::vector<uint8_t>& data;
    uint32_t want;
  };
  // The check value, then the iSCSI test patterns.
  const Case cases[] = {
      {"123456789", check, 0xE3069283},    {"32 zero bytes", zeros, 0x8A9136AA},
      {"32 0xFF bytes", ones, 0x62A8AB43}, {"0..31", up, 0x46DD794E},
      {"31..0", down, 0x113FDB5C},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(crc32c(0, c.data.data(), c.data.size()), c.want);
    EXPECT_EQ(crc32c_table(0, c.data.data(), c.data.size()), c.want);
    if (crc32c_hw_supported()) {
      EXPECT_EQ(crc32c_hw(0, c.data.data(), c.data.size()), c.want);
    }
  }
}

TEST(Crc32c, EmptyInputReturnsInitialUnchanged) {
  for (uint32_t initial : {0u, 1u, 0xE3069283u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(initial);
    EXPECT_EQ(crc32c(initial, nullptr, 0), initial);
    EXPECT_EQ(crc32c_table(initial, nullptr, 0), initial);
    if (crc32c_hw_supported()) {
      EXPECT_EQ(crc32c_hw(initial, nullptr, 0), initial);
    }
  }
}

TEST(Crc32c, PathsAgreeOnEveryShortLengthAndAlignment) {
  if (!crc32c_hw_supported()) {
    GTEST_SKIP() << "processor has no SSE4.2";
  }
  std::vector<uint8_t> buf = crc_pattern(17 + 8);
  for (size_t align = 0; align < 8; ++align) {
    for (size_t len = 0; len <= 17; ++len) {
      SCOPED_TRACE(testing::Message() << "align " << align << " len " << len);
      const uint8_t* p = buf.data() + align;
      for (uint32_t initial : {0u, 0x12345678u}) {
        EXPECT_EQ(crc32c_hw(initial, p, len), crc32c_table(initial, p, len));
      }
    }
  }
}

TEST(Crc32c, SplitComputationEqualsOnePiece) {
  std::vector<uint8_t> buf = crc_pattern(300);
  const uint32_t whole = crc32c_table(0, buf.data(), buf.size());
  EXPECT_EQ(crc32c(0, buf.data(), buf.size()), whole);
  for (size_t cut : {size_t{0}, size_t{1}, size_t{3}, size_t{4}, size_t{7}, size_t{8}, size_t{9},
                     size_t{150}, size_t{299}, size_t{300}}) {
    SCOPED_TRACE(cut);
    const uint8_t* rest = buf.data() + cut;
    const size_t rest_size = buf.size() - cut;
    EXPECT_EQ(crc32c(crc32c(0, buf.data(), cut), rest, rest_size), whole);
    EXPECT_EQ(crc32c_table(crc32c_table(0, buf.data(), cut), rest, rest_size), whole);
    if (crc32c_hw_supported()) {
      EXPECT_EQ(crc32c_hw(crc32c_hw(0, buf.data(), cut), rest, rest_size), whole);
      // Mixing paths mid-stream must not matter either.
      EXPECT_EQ(crc32c_table(crc32c_hw(0, buf.data(), cut), rest, rest_size), whole);
    }
  }
}

}  // namespace
}  // namespace vrk
