#include "common/fs.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace vrk {
namespace {

class FsTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vrk-fs-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { ASSERT_EQ(system(("rm -rf " + dir_).c_str()), 0); }
  bool is_dir(const std::string& p) {
    struct stat st = {};
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  std::string dir_;
};

TEST_F(FsTest, MakeDirsCreatesEveryMissingLevel) {
  struct Case {
    std::string path;
    bool want;
  };
  std::string file = dir_ + "/plain";
  ASSERT_EQ(close(creat(file.c_str(), 0644)), 0);
  const Case cases[] = {
      {dir_ + "/a/b/c", true},
      {dir_ + "/a/b/c/", true},  // a trailing slash and an existing directory are fine
      {dir_ + "//x//y", true},
      {file, false},             // an existing non-directory
      {file + "/below", false},  // a file in the way
      {dir_ + "/" + std::string(5000, 'n'), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.substr(0, 80));
    EXPECT_EQ(fs_make_dirs(c.path.c_str(), 0755), c.want);
  }
  EXPECT_TRUE(is_dir(dir_ + "/x/y"));
}

TEST_F(FsTest, MakeParentsStopsAboveTheFile) {
  fs_make_parents((dir_ + "/p/q/file.state").c_str(), 0777);
  EXPECT_TRUE(is_dir(dir_ + "/p/q"));
  EXPECT_FALSE(is_dir(dir_ + "/p/q/file.state"));
  fs_make_parents("relative-file", 0777);  // nothing above it to create
}

TEST_F(FsTest, PrivateFileCheck) {
  struct Case {
    std::string path;
    mode_t mode;  // 0: the directory itself
    int want_rc;
    std::string want_msg;
  };
  const Case cases[] = {
      {dir_ + "/own", 0600, 0, ""},
      {dir_ + "/read-only", 0400, 0, ""},
      {dir_ + "/group", 0640, -1,
       dir_ + "/group must not be accessible by group/others (chmod 600)"},
      {dir_ + "/others", 0604, -1,
       dir_ + "/others must not be accessible by group/others (chmod 600)"},
      {dir_, 0, -1, dir_ + " is not a regular file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    if (c.mode != 0) {
      ASSERT_EQ(close(creat(c.path.c_str(), 0600)), 0);
      ASSERT_EQ(chmod(c.path.c_str(), c.mode), 0);
    }
    const int fd = open(c.path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    char err[128];
    EXPECT_EQ(fs_private_file_check(fd, c.path.c_str(), err), c.want_rc);
    EXPECT_EQ(std::string_view(err), c.want_msg);
    close(fd);
  }
}

}  // namespace
}  // namespace vrk
