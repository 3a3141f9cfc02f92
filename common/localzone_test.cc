#include "common/localzone.h"

#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "common/fd.h"
#include "common/spawn.h"
#include "common/test_tz.h"

namespace vrk {
namespace {

int64_t utc(int y, int mo, int d, int h) {
  struct tm tm = {};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  return static_cast<int64_t>(timegm(&tm));
}

// Unix seconds of a local calendar time, daylight saving left to the conversion.
int64_t local(int y, int mo, int d, int h) {
  struct tm tm = {};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&tm));
}

// Local offset from UTC at t, in seconds.
long offset_at(int64_t t) {
  time_t tt = static_cast<time_t>(t);
  struct tm tm = {};
  localtime_r(&tt, &tm);
  return tm.tm_gmtoff;
}

std::string tz_text() {
  const char* tz = getenv("TZ");
  return tz != nullptr ? tz : "<unset>";
}

// Every test starts from a saved TZ that the fixture puts back.
class Localzone : public ::testing::Test {
 private:
  TestTz tz_{"UTC"};
};

TEST_F(Localzone, UnsetTzIsPinnedToTheDefaultZone) {
  unsetenv("TZ");
  tzset();
  const int64_t instants[] = {0, utc(2024, 1, 15, 12), utc(2024, 7, 1, 12), utc(2038, 3, 1, 0)};
  long before[4];
  int64_t round_trip[4];
  for (int i = 0; i < 4; ++i) {
    before[i] = offset_at(instants[i]);
    round_trip[i] = local(2024, 1 + 3 * i, 10, 3);
  }

  localzone_refresh();
  EXPECT_EQ(tz_text(), kLocalzoneDefaultTz);
  EXPECT_TRUE(localzone_tz_added());
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(offset_at(instants[i]), before[i]);
    EXPECT_EQ(local(2024, 1 + 3 * i, 10, 3), round_trip[i]);
  }

  // Again, as every daemon pass does: still ours, same value; each such look-up may have
  // re-read the zone file, which the generation tells.
  const uint64_t generation = localzone_generation();
  localzone_refresh();
  EXPECT_EQ(tz_text(), kLocalzoneDefaultTz);
  EXPECT_TRUE(localzone_tz_added());
  EXPECT_EQ(localzone_generation(), generation + 1);
}

TEST_F(Localzone, UserTzIsLeftAlone) {
  const char* user_values[] = {"Europe/Berlin", "", kLocalzoneDefaultTz};
  for (const char* value : user_values) {
    SCOPED_TRACE(value);
    TestTz::set(value);
    const uint64_t generation = localzone_generation();
    localzone_refresh();
    EXPECT_EQ(localzone_generation(), generation);  // the C library keeps the user's zone
    EXPECT_EQ(tz_text(), value);
    EXPECT_FALSE(localzone_tz_added());
    EXPECT_FALSE(localzone_hides_entry((std::string("TZ=") + value).c_str()));
  }
  TestTz::set("Europe/Berlin");
  localzone_refresh();
  EXPECT_EQ(offset_at(utc(2024, 7, 1, 12)), 7200);
  EXPECT_EQ(local(2024, 1, 10, 3), utc(2024, 1, 10, 2));
}

// Ours until someone else changes TZ; unset again, the next refresh adds it back.
TEST_F(Localzone, TracksWhoSetTz) {
  unsetenv("TZ");
  localzone_refresh();
  const std::string ours = std::string("TZ=") + kLocalzoneDefaultTz;
  EXPECT_TRUE(localzone_hides_entry(ours.c_str()));
  EXPECT_FALSE(localzone_hides_entry("TZ=UTC"));
  EXPECT_FALSE(localzone_hides_entry("XTZ=:/etc/localtime"));
  EXPECT_FALSE(localzone_hides_entry(nullptr));

  TestTz::set("America/New_York");
  EXPECT_FALSE(localzone_tz_added());
  localzone_refresh();
  EXPECT_EQ(tz_text(), "America/New_York");

  unsetenv("TZ");
  localzone_refresh();
  EXPECT_TRUE(localzone_tz_added());
  EXPECT_EQ(tz_text(), kLocalzoneDefaultTz);
}

// The job's program sees the TZ the user gave, and none when the user gave none.
TEST_F(Localzone, ChildSeesOnlyTheUsersTz) {
  struct Case {
    const char* user_tz;  // nullptr: unset
    const char* want;
  } cases[] = {
      {nullptr, "unset\n"},
      {"Europe/Berlin", "Europe/Berlin\n"},
      {kLocalzoneDefaultTz, ":/etc/localtime\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.user_tz != nullptr ? c.user_tz : "unset");
    if (c.user_tz != nullptr) {
      TestTz::set(c.user_tz);
    } else {
      unsetenv("TZ");
    }
    localzone_refresh();
    int fds[2] = {-1, -1};
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    UniqueFd r(fds[0]);
    UniqueFd w(fds[1]);
    const char* argv[] = {"sh", "-c", "echo \"${TZ-unset}\"", nullptr};
    SpawnStatus st;
    ASSERT_EQ(spawn_wait(argv, 60, w.get(), nullptr, nullptr, st), 0);
    w.reset();
    EXPECT_EQ(st.exit_code, 0);
    char buf[128] = {};
    ssize_t n = read(r.get(), buf, sizeof buf - 1);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), c.want);
  }
}

// Writes a copy of a zone file over path in place (same inode) with the given mtime.
bool put_zone(const char* from, const char* path, time_t mtime) {
  UniqueFd in(open(from, O_RDONLY | O_CLOEXEC));
  UniqueFd out(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (in.get() < 0 || out.get() < 0) {
    return false;
  }
  char buf[8192];
  ssize_t n;
  while ((n = read(in.get(), buf, sizeof buf)) > 0) {
    if (write(out.get(), buf, static_cast<size_t>(n)) != n) {
      return false;
    }
  }
  struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
  return n == 0 && futimens(out.get(), times) == 0;
}

constexpr int kChildSkip = 77;

// In a private mount namespace, our zone file stands in for the default one: between refreshes
// a replaced file is not looked at, after one it is followed.
int follow_zone_child(const char* zone) {
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      !put_zone("/usr/share/zoneinfo/Europe/Berlin", zone, 1000000000) ||
      mount(zone, "/etc/localtime", nullptr, MS_BIND, nullptr) != 0) {
    return kChildSkip;
  }
  unsetenv("TZ");
  localzone_refresh();
  if (local(2024, 7, 1, 12) != utc(2024, 7, 1, 10)) {
    return 1;
  }
  if (!put_zone("/usr/share/zoneinfo/America/New_York", zone, 1100000000)) {
    return kChildSkip;
  }
  if (local(2024, 7, 1, 12) != utc(2024, 7, 1, 10)) {
    return 2;
  }
  localzone_refresh();
  if (local(2024, 7, 1, 12) != utc(2024, 7, 1, 16) || offset_at(utc(2024, 1, 1, 0)) != -18000) {
    return 3;
  }
  return 0;
}

TEST_F(Localzone, FollowsChangedZoneFileOnRefresh) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root for a private mount namespace";
  }
  const char* tmp = getenv("TMPDIR");
  std::string dir =
      std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/localzone_test.XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  const std::string zone = dir + "/zone";
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    _exit(follow_zone_child(zone.c_str()));
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  unlink(zone.c_str());
  rmdir(dir.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == kChildSkip) {
    GTEST_SKIP() << "mount namespaces or zone files not available";
  }
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: first zone not used, 2: looked again before a refresh, "
                                       "3: changed zone not followed after a refresh";
}

}  // namespace
}  // namespace vrk
