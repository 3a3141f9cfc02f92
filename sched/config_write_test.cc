#include "sched/config_write.h"

#include <dirent.h>
#include <ftw.h>
#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sched/config.h"
#include "sched/config_load.h"

namespace vrk {
namespace {

constexpr std::string_view kValid = "# admin's file\n[sched]\npoll-interval = 30\n";
constexpr std::string_view kNew = "[j]\r\nschedule = 0 3 * * *\r\n";

TEST(ConfigContentTag, QuotesTheSha256Hex) {
  char tag[kConfigEtagSize];
  config_content_tag("", tag);
  EXPECT_STREQ(tag, "\"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855\"");
  config_content_tag("abc", tag);
  EXPECT_STREQ(tag, "\"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\"");
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path);
}

class ConfigWriteTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = getenv("TMPDIR");
    dir_ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/config_write_XXXXXX";
    ASSERT_NE(mkdtemp(dir_.data()), nullptr);
    path_ = dir_ + "/s.cfg";
    history_ = dir_ + "/state/cfg-history";
    tmp_ = path_ + ".api-tmp." + std::to_string(getpid());
  }
  void TearDown() override { nftw(dir_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }

  void put(const std::string& p, std::string_view text) {
    FILE* f = fopen(p.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
  }
  std::string get(const std::string& p) {
    std::string text;
    FILE* f = fopen(p.c_str(), "rb");
    if (f == nullptr) {
      return "<missing>";
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) {
      text.append(buf, n);
    }
    fclose(f);
    return text;
  }
  std::vector<std::string> list(const std::string& d) {
    std::vector<std::string> names;
    DIR* dir = opendir(d.c_str());
    if (dir == nullptr) {
      return names;
    }
    while (struct dirent* e = readdir(dir)) {
      if (std::string_view(e->d_name) != "." && std::string_view(e->d_name) != "..") {
        names.emplace_back(e->d_name);
      }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
  }
  int write(std::string_view text, uint32_t keep, bool check_only = false) {
    return config_write(path_.c_str(), text, history_.c_str(), keep, check_only, err_);
  }

  std::string dir_;
  std::string path_;
  std::string history_;
  std::string tmp_;
  char err_[kConfigApiErrSize] = {};
};

TEST_F(ConfigWriteTest, ReadWithEtagRefusesBadFiles) {
  struct Case {
    const char* name;
    std::string text;
    int want;
  } cases[] = {
      {"empty", "", 0},
      {"exactly 1 MiB", std::string(kConfigMaxBytes, '#'), 0},
      {"1 MiB and one byte", std::string(kConfigMaxBytes + 1, '#'), -1},
      {"NUL byte", std::string("[a]\n\0\n", 6), -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    put(path_, c.text);
    std::string text = "stale";
    char tag[kConfigEtagSize] = "stale";
    ASSERT_EQ(config_read_with_etag(path_.c_str(), text, tag), c.want);
    char want_tag[kConfigEtagSize];
    config_content_tag(c.text, want_tag);
    EXPECT_EQ(text, c.want == 0 ? c.text : "");
    EXPECT_STREQ(tag, c.want == 0 ? want_tag : "");
  }
  std::string text;
  char tag[kConfigEtagSize];
  EXPECT_EQ(config_read_with_etag((dir_ + "/missing").c_str(), text, tag), -1);
  EXPECT_EQ(config_read_with_etag(dir_.c_str(), text, tag), -1);
  ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
  EXPECT_EQ(config_read_with_etag((dir_ + "/fifo").c_str(), text, tag), -1);
}

// Runs check without the right to read or write others' files: directly when not root, else
// in a child switched to nobody. True when check returned true.
template <typename F>
bool without_privileges(F check) {
  if (geteuid() != 0) {
    return check();
  }
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    bool ok = setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0 && check();
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

TEST_F(ConfigWriteTest, UnreadableFileAndUnwritableDirectory) {
  put(path_, kValid);
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  ASSERT_EQ(chmod(path_.c_str(), 0), 0);
  EXPECT_TRUE(without_privileges([this]() {
    std::string text;
    char tag[kConfigEtagSize];
    return config_read_with_etag(path_.c_str(), text, tag) == -1 && text.empty();
  }));
  ASSERT_EQ(chmod(path_.c_str(), 0644), 0);
  EXPECT_TRUE(without_privileges([this]() {
    const std::string tmp = path_ + ".api-tmp." + std::to_string(getpid());
    return write(kNew, 0) == kConfigWriteFailed &&
           std::string(err_) == "cannot write " + tmp + ": Permission denied";
  }));
  EXPECT_EQ(get(path_), kValid);
  EXPECT_EQ(list(dir_), (std::vector<std::string>{"s.cfg"}));
}

TEST_F(ConfigWriteTest, ReplacesKeepingModeOwnerAndHistory) {
  put(path_, kValid);
  ASSERT_EQ(chmod(path_.c_str(), 0640), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(path_.c_str(), 65534, 65534), 0);
  }
  ASSERT_EQ(write(kNew, 5), 0) << err_;
  EXPECT_STREQ(err_, "");
  EXPECT_EQ(get(path_), kNew);
  struct stat st = {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_uid, root ? 65534u : geteuid());
  if (root) {
    EXPECT_EQ(st.st_gid, 65534u);
  }
  EXPECT_EQ(list(dir_), (std::vector<std::string>{"s.cfg", "state"}));
  ASSERT_EQ(stat(history_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  std::vector<std::string> h = list(history_);
  ASSERT_EQ(h.size(), 1u);
  // %Y%m%dT%H%M%SZ-%03d.cfg
  const std::string& n = h[0];
  ASSERT_EQ(n.size(), 24u) << n;
  for (size_t i : {0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 12, 13, 14, 17, 18, 19}) {
    EXPECT_TRUE(n[i] >= '0' && n[i] <= '9') << n;
  }
  EXPECT_EQ(n.substr(8, 1) + n.substr(15, 2) + n.substr(17 + 3), "TZ-.cfg") << n;
  EXPECT_EQ(n.substr(17, 3), "000");
  EXPECT_EQ(get(history_ + "/" + n), kValid);
  ASSERT_EQ(stat((history_ + "/" + n).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(ConfigWriteTest, NumbersVersionsWithinOneSecond) {
  put(path_, kValid);
  ASSERT_EQ(mkdir((dir_ + "/state").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(history_.c_str(), 0755), 0);
  // Whatever second the write falls in, its -000 name is already taken.
  time_t now = time(nullptr);
  std::vector<std::string> placed;
  for (time_t t = now - 2; t < now + 120; ++t) {
    struct tm tm = {};
    char stamp[32];
    gmtime_r(&t, &tm);
    strftime(stamp, sizeof(stamp), "%Y%m%dT%H%M%SZ", &tm);
    placed.push_back(std::string(stamp) + "-000.cfg");
    put(history_ + "/" + placed.back(), "placed\n");
  }
  ASSERT_EQ(write(kNew, 1000), 0) << err_;
  std::vector<std::string> h = list(history_);
  ASSERT_EQ(h.size(), placed.size() + 1);
  std::vector<std::string> added;
  std::set_difference(h.begin(), h.end(), placed.begin(), placed.end(), std::back_inserter(added));
  ASSERT_EQ(added.size(), 1u);
  const std::string first = added[0].substr(0, 16) + "-000.cfg";
  EXPECT_NE(std::find(placed.begin(), placed.end(), first), placed.end()) << added[0];
  EXPECT_EQ(added[0].substr(16), "-001.cfg");
  EXPECT_EQ(get(history_ + "/" + added[0]), kValid);
}

TEST_F(ConfigWriteTest, PrunesToHistoryKeepCountingHandPlacedFiles) {
  put(path_, kValid);
  ASSERT_EQ(mkdir((dir_ + "/state").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(history_.c_str(), 0755), 0);
  for (const char* n : {"20200101T000000Z-000.cfg", "20200101T000000Z-001.cfg",
                        "20210101T000000Z-000.cfg", "notes.txt", ".cfg", "a.cfgx"}) {
    put(history_ + "/" + n, "old\n");
  }
  ASSERT_EQ(write(kNew, 2), 0) << err_;
  std::vector<std::string> h = list(history_);
  ASSERT_EQ(h.size(), 5u);
  EXPECT_EQ(h[0], ".cfg");
  EXPECT_EQ(h[1], "20210101T000000Z-000.cfg");
  EXPECT_EQ(h[2].substr(16), "-000.cfg");
  EXPECT_EQ(get(history_ + "/" + h[2]), kValid);
  EXPECT_EQ(h[3], "a.cfgx");
  EXPECT_EQ(h[4], "notes.txt");

  // A hand-placed name that sorts after the time stamps never costs the copy just made.
  put(history_ + "/zz-by-hand.cfg", "old\n");
  ASSERT_EQ(write(kValid, 1), 0) << err_;
  h = list(history_);
  ASSERT_EQ(h.size(), 4u);
  EXPECT_EQ(get(history_ + "/" + h[1]), kNew);
}

TEST_F(ConfigWriteTest, CheckOnlyAndNoHistoryTouchNothing) {
  put(path_, kValid);
  ASSERT_EQ(write(kNew, 5, true), 0) << err_;
  EXPECT_EQ(get(path_), kValid);
  EXPECT_EQ(list(dir_), (std::vector<std::string>{"s.cfg"}));
  ASSERT_EQ(write(kNew, 0), 0) << err_;
  EXPECT_EQ(get(path_), kNew);
  EXPECT_EQ(list(dir_), (std::vector<std::string>{"s.cfg"}));
}

// Each text is validated on its own: nothing of a text checked before (its jobs, its [mail]
// section, its job count) makes the next one pass or fail.
TEST_F(ConfigWriteTest, ValidatesEachTextOnItsOwn) {
  put(path_, kValid);
  std::string full =
      "[mail]\nsmtp-host = mx.example.org\nfrom = a@example.org\nto = b@example.org\n";
  for (int i = 0; i < kMaxJobs; ++i) {
    full += "[j" + std::to_string(i) + "]\nschedule = 0 3 * * *\nargs = --n " + std::to_string(i) +
            "\nnotify = always\n";
  }
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(write(full, 0, true), 0) << err_;
    EXPECT_EQ(write("[j0]\nafter = j1\n", 0, true), kConfigWriteInvalid);
    EXPECT_STREQ(err_, "[j0]: 'after' references unknown job 'j1'");
    EXPECT_EQ(write("[j0]\nschedule = 0 3 * * *\nnotify = always\n", 0, true), kConfigWriteInvalid);
    EXPECT_STREQ(err_, "[j0]: 'notify' needs a [mail] section");
  }
  ASSERT_EQ(write(kNew, 1), 0) << err_;
  EXPECT_EQ(get(path_), kNew);
}

// A change is based on the content the client saw: an edit since then is never replaced, with or
// without history, and leaves neither a copy nor a temporary file.
TEST_F(ConfigWriteTest, IfUnchangedReplacesOnlyTheExpectedContent) {
  char seen[kConfigEtagSize];
  config_content_tag(kValid, seen);
  for (uint32_t keep : {0u, 5u}) {
    SCOPED_TRACE(keep);
    const std::string edited = std::string(kValid) + "# edited by hand\n";
    put(path_, edited);
    EXPECT_EQ(
        config_write_if_unchanged(path_.c_str(), kNew, seen, history_.c_str(), keep, false, err_),
        kConfigWriteChanged);
    EXPECT_EQ(std::string(err_), path_ + " was changed since it was read");
    EXPECT_EQ(get(path_), edited);
    for (const std::string& name : list(dir_)) {
      EXPECT_EQ(name.find("api-tmp"), std::string::npos) << name;
    }
    EXPECT_TRUE(list(history_).empty());
    put(path_, kValid);
    ASSERT_EQ(
        config_write_if_unchanged(path_.c_str(), kNew, seen, history_.c_str(), keep, false, err_),
        0)
        << err_;
    EXPECT_EQ(get(path_), kNew);
    EXPECT_EQ(list(history_).size(), keep == 0 ? 0u : 1u);
  }
}

TEST_F(ConfigWriteTest, FailuresLeaveTheOldFileAndNoTemporary) {
  struct Case {
    const char* name;
    std::string text;
    bool check_only;
    int want_rc;
    std::string want_err;
  } cases[] = {
      {"parser error names the path", "[sched]\nbogus = 1\n", false, kConfigWriteInvalid,
       path_ + ":2: unknown [sched] setting 'bogus'"},
      {"also in check-only mode", "[sched]\n\nx\n", true, kConfigWriteInvalid,
       path_ + ":3: expected key=value"},
      {"NUL byte", std::string("[sched]\n\0", 9), false, kConfigWriteInvalid,
       path_ + ":2: line contains a NUL byte"},
      {"over 1 MiB", std::string(kConfigMaxBytes + 1, '#'), false, kConfigWriteInvalid,
       path_ + ": the configuration would be larger than 1048576 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    put(path_, kValid);
    EXPECT_EQ(write(c.text, 5, c.check_only), c.want_rc);
    EXPECT_EQ(std::string(err_), c.want_err);
    EXPECT_EQ(std::string(err_).find(".api-tmp."), std::string::npos);
    EXPECT_EQ(get(path_), kValid);
    EXPECT_EQ(list(dir_), (std::vector<std::string>{"s.cfg"}));
  }
}

TEST_F(ConfigWriteTest, FileSystemFailures) {
  // The history directory cannot be made: a file is in its way.
  put(path_, kValid);
  put(dir_ + "/state", "x");
  EXPECT_EQ(write(kNew, 5), kConfigWriteFailed);
  EXPECT_EQ(std::string(err_), "cannot create " + history_);
  EXPECT_EQ(get(path_), kValid);
  EXPECT_EQ(list(dir_), (std::vector<std::string>{"s.cfg", "state"}));
  unlink((dir_ + "/state").c_str());

  // A stale temporary of the same process id is replaced.
  put(tmp_, "stale");
  ASSERT_EQ(write(kNew, 0), 0) << err_;
  EXPECT_EQ(list(dir_), (std::vector<std::string>{"s.cfg"}));

  // The old version cannot be kept when it is over the size limit.
  put(path_, std::string(kConfigMaxBytes + 1, '#'));
  EXPECT_EQ(write(kNew, 5), kConfigWriteFailed);
  EXPECT_EQ(std::string(err_), "cannot read " + path_);
  EXPECT_EQ(get(path_).size(), kConfigMaxBytes + 1);
  EXPECT_EQ(list(dir_), (std::vector<std::string>{"s.cfg", "state"}));

  // No file to replace.
  unlink(path_.c_str());
  EXPECT_EQ(write(kNew, 5), kConfigWriteFailed);
  EXPECT_EQ(std::string(err_), "cannot stat " + path_ + ": No such file or directory");
  EXPECT_EQ(list(dir_), (std::vector<std::string>{"state"}));

  // The rename fails: a directory stands at the path.
  ASSERT_EQ(mkdir(path_.c_str(), 0755), 0);
  EXPECT_EQ(write(kNew, 0), kConfigWriteFailed);
  EXPECT_EQ(std::string(err_), "cannot replace " + path_ + ": Is a directory");
  EXPECT_EQ(list(dir_), (std::vector<std::string>{"s.cfg", "state"}));
  rmdir(path_.c_str());
}

}  // namespace
}  // namespace vrk
