#include "common/digest.h"

#include <string.h>

#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace vrk {
namespace {

std::string sha256_text(std::string_view data) {
  uint8_t digest[32] = {};
  sha256(data.data(), data.size(), digest);
  char hex[65];
  memset(hex, 'x', sizeof hex);
  sha256_hex(digest, hex);
  return std::string(hex, strnlen(hex, sizeof hex));
}

TEST(Sha256, PublishedVectors) {
  struct Case {
    std::string input;
    const char* want;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 60));
    EXPECT_EQ(sha256_text(c.input), c.want);
  }
}

TEST(Sha256, EmptyBlockAcceptsNullData) {
  uint8_t digest[32] = {};
  sha256(nullptr, 0, digest);
  char hex[65];
  sha256_hex(digest, hex);
  EXPECT_STREQ(hex, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(Sha256Hex, LowerCaseHighNibbleFirstAndTerminated) {
  uint8_t digest[32];
  for (int i = 0; i < 32; ++i) {
    digest[i] = static_cast<uint8_t>(i * 0x11 + 0x0A);
  }
  digest[31] = 0xF0;
  char hex[65];
  memset(hex, 'x', sizeof hex);
  sha256_hex(digest, hex);
  EXPECT_EQ(hex[64], '\0');
  EXPECT_STREQ(hex, "0a1b2c3d4e5f708192a3b4c5d6e7f8091a2b3c4d5e6f8091a2b3c4d5e6f708f0");
}

}  // namespace
}  // namespace vrk
