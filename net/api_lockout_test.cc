#include "net/api_lockout.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "common/test_stderr.h"

namespace vrk {
namespace {

constexpr int64_t kT0 = 1'800'000'000;

struct Step {
  const char* what;
  const char* address;
  int64_t at;        // seconds after kT0
  bool fail;         // count a failed login first
  bool want_lock;    // api_lockout_fail's result
  bool want_locked;  // api_lockout_locked afterwards, same time
};

void run(ApiLockout& table, const Step& s) {
  SCOPED_TRACE(s.what);
  int64_t now = kT0 + s.at;
  if (s.fail) {
    EXPECT_EQ(api_lockout_fail(table, s.address, now), s.want_lock);
  }
  EXPECT_EQ(api_lockout_locked(table, s.address, now), s.want_locked);
}

TEST(ApiLockout, TenthFailureWithinTheWindowLocksOneAddressForAMinute) {
  auto table = std::make_unique<ApiLockout>();
  StderrCapture cap;
  // Nine failures spread over the window do not lock.
  for (int i = 0; i < 9; ++i) {
    run(*table, {"failure below the limit", "192.0.2.1", i * 60, true, false, false});
  }
  const Step steps[] = {
      {"other address, one failure", "2001:db8::1", 540, true, false, false},
      {"10th failure at 600 s into the window", "192.0.2.1", 600, true, true, true},
      {"other address unaffected", "2001:db8::1", 600, false, false, false},
      {"still locked at 59 s", "192.0.2.1", 659, false, false, true},
      {"unlocked at 60 s", "192.0.2.1", 660, false, false, false},
      {"a new window started at the lock", "192.0.2.1", 661, true, false, false},
  };
  for (const Step& s : steps) {
    run(*table, s);
  }
  std::string log = cap.text();
  EXPECT_NE(log.find("WARN  vrk_sched_net: API: 192.0.2.1 locked out for 60 s after 10 failed "
                     "logins\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("2001:db8::1"), std::string::npos);
}

TEST(ApiLockout, FailuresOlderThanTheWindowStartAgain) {
  auto table = std::make_unique<ApiLockout>();
  for (int i = 0; i < 9; ++i) {
    run(*table, {"first window", "198.51.100.7", i, true, false, false});
  }
  // 601 s after the window started: a new window with one failure, so eight more do not lock.
  for (int i = 0; i < 9; ++i) {
    run(*table, {"second window", "198.51.100.7", 601 + i, true, false, false});
  }
  StderrCapture cap;
  run(*table, {"10th of the second window", "198.51.100.7", 700, true, true, true});
  EXPECT_NE(cap.text().find("locked out"), std::string::npos);
}

TEST(ApiLockout, FullTableGivesUpTheOldestWindowFirst) {
  auto table = std::make_unique<ApiLockout>();
  // The first address fills its window to one short of the limit, then every record is taken.
  for (int i = 0; i < 9; ++i) {
    run(*table, {"nearly locked", "10.0.0.1", 0, true, false, false});
  }
  for (size_t i = 1; i < kApiLockout.entries; ++i) {
    std::string a = "10.1.0." + std::to_string(i);
    EXPECT_FALSE(api_lockout_fail(*table, a, kT0 + 10));
  }
  // A new address takes the record with the oldest window: 10.0.0.1 starts from nothing.
  run(*table, {"newcomer", "10.2.0.1", 20, true, false, false});
  run(*table, {"evicted address counts from 1", "10.0.0.1", 30, true, false, false});
  // The newcomer kept its own record (10.0.0.1 took the next oldest one).
  for (int i = 0; i < 8; ++i) {
    run(*table, {"newcomer failures", "10.2.0.1", 40, true, false, false});
  }
  StderrCapture cap;
  run(*table, {"newcomer's 10th", "10.2.0.1", 40, true, true, true});
}

TEST(ApiLockout, UnknownAddressIsNotLocked) {
  auto table = std::make_unique<ApiLockout>();
  EXPECT_FALSE(api_lockout_locked(*table, "192.0.2.1", kT0));
  EXPECT_FALSE(api_lockout_locked(*table, "", kT0));
}

}  // namespace
}  // namespace vrk
