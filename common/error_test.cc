#include "common/error.h"

#include <errno.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

namespace vrk {
namespace {

TEST(ErrorText, EveryKind) {
  struct Case {
    int kind;
    const char* want;
  };
  const Case cases[] = {
      {0, "ok"},
      {-1, "I/O error"},
      {-2, "out of memory"},
      {-3, "invalid argument or request"},
      {-4, "not found"},
      {-5, "already exists"},
      {-6, "not supported"},
      {-7, "corrupt or inconsistent data"},
      {-8, "protocol error"},
      {-9, "temporarily unavailable"},
      {-10, "decryption failed (wrong key or corrupted data)"},
      {-11, "unknown error"},
      {7, "unknown error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    EXPECT_STREQ(error_text(c.kind), c.want);
  }
}

TEST(ErrorFromErrno, Mapping) {
  EXPECT_EQ(error_from_errno(ENOENT), kErrNotFound);
  EXPECT_EQ(error_from_errno(EEXIST), kErrExists);
  EXPECT_EQ(error_from_errno(ENOMEM), kErrNoMem);
  EXPECT_EQ(error_from_errno(EINVAL), kErrInvalid);
  EXPECT_EQ(error_from_errno(EAGAIN), kErrAgain);
  EXPECT_EQ(error_from_errno(EACCES), kErrIo);
  EXPECT_EQ(error_from_errno(0), kErrIo);
}

TEST(ErrSet, CutsAndAcceptsAnEmptySpan) {
  char buf[8];
  err_set(buf, "%s=%d", "value", 12345);
  EXPECT_STREQ(buf, "value=1");
  err_set(std::span<char>(), "%s", "ignored");
  err_set(buf, "%s", "");
  EXPECT_STREQ(buf, "");
}

}  // namespace
}  // namespace vrk
