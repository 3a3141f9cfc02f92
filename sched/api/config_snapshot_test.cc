#include "sched/api/config_snapshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "common/localzone.h"
#include "common/test_tz.h"
#include "sched/api/test_call.h"
#include "sched/api/test_sign.h"

namespace vrk {
namespace {

const char kConfig[] =
    "# nightly backups\n[nightly]\ncommand = agent\nprofile = files\nschedule = 0 2 * * *\n";

class ConfigSnapshotTest : public ApiCallTest {};

TEST_F(ConfigSnapshotTest, ReadsTextTagAndConfiguration) {
  configure(kConfig);
  ConfigSnapshot snap;
  char err[kConfigApiErrSize];
  ASSERT_EQ(config_snapshot_read(*state, snap, err), 0) << err;
  EXPECT_EQ(snap.text, kConfig);
  EXPECT_EQ(snap.length, strlen(kConfig));
  EXPECT_EQ(std::string(snap.etag), "\"" + reference_sha256(kConfig) + "\"");
  ASSERT_NE(snap.config, nullptr);
  EXPECT_EQ(snap.config->job_count, 1u);
  std::string first_tag = snap.etag;

  // A byte-identical rewrite keeps the tag; a changed comment changes it.
  ASSERT_TRUE(test_write_file(config_path, kConfig));
  ASSERT_EQ(config_snapshot_read(*state, snap, err), 0) << err;
  EXPECT_EQ(std::string(snap.etag), first_tag);
  std::string edited = kConfig;
  edited[2] = 'N';
  ASSERT_TRUE(test_write_file(config_path, edited));
  ASSERT_EQ(config_snapshot_read(*state, snap, err), 0) << err;
  EXPECT_NE(std::string(snap.etag), first_tag);

  config_snapshot_release(snap);
  EXPECT_EQ(snap.config, nullptr);
  EXPECT_TRUE(snap.text.empty());
  EXPECT_EQ(snap.etag[0], '\0');
  config_snapshot_release(snap);
}

// A file that reads differently every time, or only on the first read.
int g_reads = 0;
int g_stable_after = 0;  // reads from this one on give the same text; 0 = never

int changing_reader(const char*, std::string& text, char (&tag)[kConfigEtagSize]) {
  ++g_reads;
  int version = g_stable_after != 0 && g_reads >= g_stable_after ? 0 : g_reads;
  text = "# version " + std::to_string(version) + "\n[a]\ncommand = agent\nenabled = no\n";
  snprintf(tag, sizeof tag, "\"%064d\"", version);
  return 0;
}

TEST(ConfigSnapshotReadWith, GivesUpOnAFileThatKeepsChanging) {
  ConfigSnapshot snap;
  char err[kConfigApiErrSize];
  g_reads = 0;
  g_stable_after = 0;
  EXPECT_EQ(config_snapshot_read_with("/x/vrk_sched.cfg", changing_reader, snap, err), -1);
  EXPECT_STREQ(err, "/x/vrk_sched.cfg keeps changing");
  EXPECT_EQ(g_reads, 6);  // three attempts of two reads
  EXPECT_EQ(snap.config, nullptr);

  // Changed between the first two reads, then still: the second attempt holds.
  g_reads = 0;
  g_stable_after = 2;
  ASSERT_EQ(config_snapshot_read_with("/x/vrk_sched.cfg", changing_reader, snap, err), 0) << err;
  EXPECT_EQ(g_reads, 4);
  EXPECT_EQ(snap.text, "# version 0\n[a]\ncommand = agent\nenabled = no\n");
  ASSERT_NE(snap.config, nullptr);
  EXPECT_EQ(snap.config->job_count, 1u);
  config_snapshot_release(snap);
}

// Every resource that reads the file answers 500 with the reason, and none of them changes it.
TEST_F(ConfigSnapshotTest, BadFilesGive500OnEveryResource) {
  configure(kConfig);
  struct Case {
    const char* what;
    std::string text;  // written as the file unless directory
    bool directory;
    std::string want_message;
  };
  const Case cases[] = {
      {"missing", "", false, "cannot read " + config_path},
      {"directory", "", true, "cannot read " + config_path},
      {"over 1 MiB", "#" + std::string(1048576, 'x') + "\n", false, "cannot read " + config_path},
      {"NUL byte", std::string("[a]\ncommand = agent\0\n", 21), false,
       "cannot read " + config_path},
      {"parse error", "[a]\ncommand = agent\nbogus = 1\n", false, ""},
  };
  const char* resources[] = {"/api/v1/info", "/api/v1/jobs", "/api/v1/jobs/a",
                             "/api/v1/settings/sched", "/api/v1/settings/mail"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    unlink(config_path.c_str());
    if (c.directory) {
      ASSERT_EQ(mkdir(config_path.c_str(), 0755), 0);
    } else if (std::string(c.what) != "missing") {
      ASSERT_TRUE(test_write_file(config_path, c.text));
    }
    struct stat before = {};
    stat(config_path.c_str(), &before);
    for (const char* path : resources) {
      SCOPED_TRACE(path);
      std::string body = answer("GET", path, "", "", TokenRole::kRead);
      EXPECT_EQ(response.status, 500u);
      if (!c.want_message.empty()) {
        EXPECT_EQ(body, test_error_body("config_unreadable", c.want_message));
      } else {
        EXPECT_EQ(body.rfind("{\"error\":{\"code\":\"config_unreadable\",\"message\":\"" +
                                 config_path + ":3: ",
                             0),
                  0u)
            << body;
      }
    }
    struct stat after = {};
    stat(config_path.c_str(), &after);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_ino, before.st_ino);
    if (!c.directory && std::string(c.what) != "missing") {
      EXPECT_TRUE(test_read_file(config_path) == c.text);
    }
    if (c.directory) {
      ASSERT_EQ(rmdir(config_path.c_str()), 0);
    }
  }
}

TEST_F(ConfigSnapshotTest, UnreadableFileGives500) {
  if (geteuid() == 0) {
    GTEST_SKIP() << "root reads files without read permission";
  }
  configure(kConfig);
  ASSERT_EQ(chmod(config_path.c_str(), 0), 0);
  EXPECT_EQ(answer("GET", "/api/v1/jobs"),
            test_error_body("config_unreadable", "cannot read " + config_path));
}

// --- The snapshot cache -------------------------------------------------------------------

int g_file_reads = 0;

int counting_reader(const char* path, std::string& text, char (&tag)[kConfigEtagSize]) {
  ++g_file_reads;
  return config_read_with_etag(path, text, tag);
}

int64_t wall_ns() {
  struct timespec ts = {};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// A past modification time, so that rewrites can put the very same one back.
constexpr struct timespec kOldTime = {1'700'000'000, 123456789};

bool set_mtime(const std::string& path, const struct timespec& t) {
  const struct timespec times[2] = {t, t};
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

// Overwrites the file in place (same inode, same size when text has the old size).
bool rewrite_in_place(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

class ConfigSnapshotCacheTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vrk_snapcache_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    path = dir + "/vrk_sched.cfg";
  }
  void TearDown() override {
    config_snapshot_release(snap);
    config_snapshot_cache_clear(cache);
    ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
  }

  // One cached read at now_ns (default: every file settled); the number of file reads it made.
  int read(int64_t now_ns = 0) {
    g_file_reads = 0;
    char err[kConfigApiErrSize] = "";
    rc = config_snapshot_read_cached(path.c_str(), cache, counting_reader,
                                     now_ns != 0 ? now_ns : wall_ns() + 2 * kSnapshotSettleNs, snap,
                                     err);
    message = err;
    return g_file_reads;
  }

  std::string dir;
  std::string path;
  ConfigSnapshotCache cache;
  ConfigSnapshot snap;
  int rc = 0;
  std::string message;
};

const char kOnceJob[] = "[later]\ncommand = agent\nonce = 2031-07-01 12:00\n";

TEST_F(ConfigSnapshotCacheTest, ServesASettledUnchangedFileWithoutReading) {
  ASSERT_TRUE(test_write_file(path, kConfig));
  EXPECT_EQ(read(), 2);
  ASSERT_EQ(rc, 0) << message;
  const std::string tag = snap.etag;
  ConfigSnapshot first = snap;  // a second hold on the same configuration
  EXPECT_EQ(read(), 0);
  ASSERT_EQ(rc, 0) << message;
  EXPECT_EQ(snap.text, kConfig);
  EXPECT_EQ(snap.length, strlen(kConfig));
  EXPECT_EQ(std::string(snap.etag), tag);
  ASSERT_NE(snap.config, nullptr);
  EXPECT_EQ(snap.config->job_count, 1u);
  EXPECT_STREQ(snap.config->jobs[0].name, "nightly");
  // Releasing one snapshot, or clearing the cache, leaves the other snapshot whole.
  config_snapshot_release(first);
  config_snapshot_cache_clear(cache);
  EXPECT_STREQ(snap.config->jobs[0].name, "nightly");
  EXPECT_EQ(read(), 2);
}

// Two writes of the same size within one tick of the file clock can leave the same stamp: a
// file changed within the last second is read every time.
TEST_F(ConfigSnapshotCacheTest, RecentlyChangedFileIsReadEveryTime) {
  ASSERT_TRUE(test_write_file(path, kConfig));
  const int64_t now = wall_ns();
  EXPECT_EQ(read(now), 2);
  EXPECT_EQ(read(now), 2);
  EXPECT_EQ(read(now + 2 * kSnapshotSettleNs), 2);  // settled from here on
  EXPECT_EQ(read(now + 2 * kSnapshotSettleNs), 0);
  EXPECT_EQ(rc, 0) << message;
}

// Every input of the answer, changed after a cached read: the next read goes to the files and
// answers as a fresh read does.
TEST_F(ConfigSnapshotCacheTest, AnyChangedInputMeansAFreshRead) {
  const std::string pw = dir + "/smtp.pw";
  const std::string zone = dir + "/zone";
  const std::string mail =
      "[mail]\nsmtp-host = mx\nfrom = a@b\nto = c@d\nsmtp-user = u\n"
      "smtp-password = file:" +
      pw + "\n";
  std::string edited = kConfig;
  edited[2] = 'N';  // same size
  struct Case {
    const char* what;
    std::string config;
    std::function<bool()> change;
    std::function<void(const ConfigSnapshot&)> check;  // the answer after the change
  };
  const Case cases[] = {
      {"same size and modification time, same inode", kConfig,
       [&] { return rewrite_in_place(path, edited) && set_mtime(path, kOldTime); },
       [&](const ConfigSnapshot& s) { EXPECT_EQ(s.text, edited); }},
      {"a new file renamed into place, same size and modification time", kConfig,
       [&] {
         return test_write_file(path + ".new", edited) && set_mtime(path + ".new", kOldTime) &&
                rename((path + ".new").c_str(), path.c_str()) == 0;
       },
       [&](const ConfigSnapshot& s) { EXPECT_EQ(s.text, edited); }},
      {"password file replaced", mail + kConfig,
       [&] { return test_write_file(pw, "n3w-secret\n"); },
       [&](const ConfigSnapshot& s) { EXPECT_STREQ(s.config->mail.smtp_password, "n3w-secret"); }},
      {"password file rewritten in place, same size and time", mail + kConfig,
       [&] { return rewrite_in_place(pw, "0ld-secreT\n") && set_mtime(pw, kOldTime); },
       [&](const ConfigSnapshot& s) { EXPECT_STREQ(s.config->mail.smtp_password, "0ld-secreT"); }},
      {"TZ changed", kOnceJob, [&] { return setenv("TZ", "America/New_York", 1) == 0; },
       [&](const ConfigSnapshot& s) {
         EXPECT_EQ(s.config->jobs[0].once_time, 1940688000);  // 2031-07-01 16:00 UTC
       }},
      {"zone file of TZ replaced", kOnceJob,
       [&] {
         return test_write_file(zone, test_read_file("/usr/share/zoneinfo/America/New_York"));
       },
       nullptr},
      {"local zone looked up again", kOnceJob,
       [&] {
         localzone_refresh();
         return true;
       },
       nullptr},
      {"file removed", kConfig, [&] { return unlink(path.c_str()) == 0; }, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestTz tz("Europe/Berlin");
    if (std::string(c.what) == "zone file of TZ replaced") {
      ASSERT_TRUE(test_write_file(zone, test_read_file("/usr/share/zoneinfo/Europe/Berlin")));
      TestTz::set((":" + zone).c_str());
    } else if (std::string(c.what) == "local zone looked up again") {
      unsetenv("TZ");
      localzone_refresh();
    }
    ASSERT_TRUE(test_write_file(pw, "0ld-secret\n"));
    ASSERT_TRUE(test_write_file(path, c.config));
    ASSERT_TRUE(set_mtime(path, kOldTime));
    config_snapshot_cache_clear(cache);
    EXPECT_EQ(read(), 2);
    ASSERT_EQ(rc, 0) << message;
    if (c.config.find("smtp-password") != std::string::npos) {
      // The password file was only stamped after the read that named it: once more.
      EXPECT_EQ(read(), 2);
    }
    EXPECT_EQ(read(), 0);
    ASSERT_TRUE(c.change());
    tzset();
    EXPECT_GT(read(), 0);
    if (std::string(c.what) == "file removed") {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(message, "cannot read " + path);
      EXPECT_EQ(snap.config, nullptr);
      continue;
    }
    ASSERT_EQ(rc, 0) << message;
    if (c.check) {
      c.check(snap);
    }
    EXPECT_EQ(read(), 0);  // settled again
  }
}

// A failed read is never cached and leaves nothing behind to serve.
TEST_F(ConfigSnapshotCacheTest, FailedReadsAreNotServedLater) {
  ASSERT_TRUE(test_write_file(path, "[a]\ncommand = agent\nbogus = 1\n"));
  ASSERT_TRUE(set_mtime(path, kOldTime));
  EXPECT_EQ(read(), 1);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(message, path + ":3: unknown setting 'bogus'");
  EXPECT_EQ(read(), 1);
  EXPECT_EQ(rc, -1);
}

}  // namespace
}  // namespace vrk
