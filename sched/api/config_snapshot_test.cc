#include "sched/api/config_snapshot.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vrk
