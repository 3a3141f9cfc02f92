#include "common/fs.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

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

}  // namespace
}  // namespace vrk
