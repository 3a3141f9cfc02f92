#include "sched/api/tokens.h"

#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

namespace vrk {
namespace {

// 43 characters of the base64url alphabet; a test value, never a real token.
constexpr const char kSecret[] = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA-";
constexpr const char kSecret2[] = "abcdefghijklmnopqrstuvwxyz0123456789_-ABCDE";

std::string line(const std::string& name, const char* role, const char* created,
                 const std::string& secret) {
  return name + " " + role + " " + created + " " + secret + "\n";
}

std::unique_ptr<TokenTable> new_table() {
  return std::make_unique<TokenTable>();
}

// Field by field (padding takes no part); secrets compared without printing them.
void expect_same_tables(const TokenTable& a, const TokenTable& b) {
  ASSERT_EQ(a.count, b.count);
  for (uint64_t i = 0; i < a.count; ++i) {
    SCOPED_TRACE(i);
    EXPECT_STREQ(a.tokens[i].name, b.tokens[i].name);
    EXPECT_EQ(a.tokens[i].role, b.tokens[i].role);
    EXPECT_EQ(a.tokens[i].created, b.tokens[i].created);
    EXPECT_TRUE(strcmp(a.tokens[i].secret, b.tokens[i].secret) == 0);
  }
}

TEST(TokenFileParse, LineRulesAndMessages) {
  const std::string ok = line("alice", "read", "1700000000", kSecret);
  struct Case {
    std::string text;
    int want_rc;
    const char* want_msg;
    uint64_t want_count;
  };
  const std::string s = kSecret;
  const Case cases[] = {
      {"", 0, "", 0},
      {"# only a comment\n\n   \t\n; another\n", 0, "", 0},
      {ok, 0, "", 1},
      {"alice read 1700000000 " + s, 0, "", 1},  // last line without a line feed
      {"alice  admin\t-5   " + s + "  \r\n", 0, "", 1},
      {"alice read 1 " + s + " # a comment\n", 0, "", 1},
      {"alice read 1 " + s + " ;a comment\n", 0, "", 1},
      {std::string(64, 'n') + " read 1 " + s + "\n", 0, "", 1},
      {"A-z_9 read 1 " + s + "\n", 0, "", 1},
      // Comment and blank lines count in the line numbers.
      {"# header\n\n" + ok + "bob read 1 " + s + " extra\n", -1,
       "t:4: expected '<name> <role> <created> <secret>'", 0},
      {"alice read 1\n", -1, "t:1: expected '<name> <role> <created> <secret>'", 0},
      {"alice read x " + s + "\n", -1, "t:1: expected '<name> <role> <created> <secret>'", 0},
      {"alice read 99999999999999999999 " + s + "\n", -1,
       "t:1: expected '<name> <role> <created> <secret>'", 0},
      // A name longer than the pattern's first word runs on into the next fields.
      {std::string(130, 'n') + " read 1 " + s + "\n", -1,
       "t:1: expected '<name> <role> <created> <secret>'", 0},
      {std::string(65, 'n') + " read 1 " + s + "\n", -1, "t:1: invalid token name", 0},
      {"al.ice read 1 " + s + "\n", -1, "t:1: invalid token name", 0},
      {"alice Read 1 " + s + "\n", -1, "t:1: role must be read or admin", 0},
      {"alice write 1 " + s + "\n", -1, "t:1: role must be read or admin", 0},
      {"alice read 1 " + s.substr(1) + "\n", -1, "t:1: malformed secret", 0},
      {"alice read 1 " + s + "A\n", -1, "t:1: malformed secret", 0},
      {"alice read 1 +" + s.substr(1) + "\n", -1, "t:1: malformed secret", 0},
      {"alice read 1 /" + s.substr(1) + "\n", -1, "t:1: malformed secret", 0},
      {"alice read 1 " + s.substr(1) + "=\n", -1, "t:1: malformed secret", 0},
      {ok + "bob read 1 " + kSecret2 + "\n" + ok, -1, "t:3: duplicate token name 'alice'", 0},
      {"alice read 1 x=\"" + s + "\n", -1, "t:1: unterminated quote", 0},
      {"x=\"a\" b\n", -1, "t:1: unterminated quote", 0},
      // 510 characters and the line feed fit the line buffer; one more does not.
      {"#" + std::string(509, 'c') + "\n" + ok, 0, "", 1},
      {ok + "#" + std::string(510, 'c') + "\n", -1, "t:2: line too long", 0},
      {ok + "#" + std::string(510, 'c'), 0, "", 1},  // 511 on the last line
  };
  auto table = new_table();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 80));
    char err[kTokenFileErrSize] = "x";
    int rc = token_file_parse(c.text, "t", *table, err);
    EXPECT_EQ(rc, c.want_rc);
    EXPECT_STREQ(err, c.want_msg);
    EXPECT_EQ(table->count, c.want_count);
    EXPECT_TRUE(strstr(err, kSecret) == nullptr && strstr(err, kSecret2) == nullptr);
  }
}

TEST(TokenFileParse, KeepsFieldsInFileOrder) {
  auto table = new_table();
  char err[kTokenFileErrSize];
  ASSERT_EQ(token_file_parse(line("zed", "admin", "-12", kSecret) +
                                 line("amy", "read", "9223372036854775807", kSecret2),
                             "t", *table, err),
            0);
  ASSERT_EQ(table->count, 2u);
  EXPECT_STREQ(table->tokens[0].name, "zed");
  EXPECT_EQ(table->tokens[0].role, TokenRole::kAdmin);
  EXPECT_EQ(table->tokens[0].created, -12);
  EXPECT_TRUE(strcmp(table->tokens[0].secret, kSecret) == 0);
  EXPECT_STREQ(table->tokens[1].name, "amy");
  EXPECT_EQ(table->tokens[1].role, TokenRole::kRead);
  EXPECT_EQ(table->tokens[1].created, INT64_MAX);
  EXPECT_TRUE(strcmp(table->tokens[1].secret, kSecret2) == 0);
}

std::string many_tokens(int n) {
  std::string text;
  for (int i = 0; i < n; ++i) {
    text += line("t" + std::to_string(i), "read", "1", kSecret);
  }
  return text;
}

TEST(TokenFileParse, TwoHundredFiftySixLoadTheNextFails) {
  auto table = new_table();
  char err[kTokenFileErrSize];
  EXPECT_EQ(token_file_parse(many_tokens(256), "t", *table, err), 0);
  EXPECT_EQ(table->count, 256u);
  EXPECT_EQ(token_file_parse(many_tokens(257), "t", *table, err), -1);
  EXPECT_STREQ(err, "t: too many tokens");
}

TEST(TokenFileParse, FailureWipesTheWholeTable) {
  auto table = new_table();
  char err[kTokenFileErrSize];
  ASSERT_EQ(token_file_parse(line("keep", "read", "1", kSecret), "t", *table, err), 0);
  ASSERT_EQ(
      token_file_parse(line("a", "read", "1", kSecret) + "b read 1 short\n", "t", *table, err), -1);
  EXPECT_EQ(table->count, 0u);
  for (const ApiToken& t : table->tokens) {
    const char zero[kTokenSecretSize] = {};
    ASSERT_TRUE(memcmp(t.secret, zero, sizeof zero) == 0 && t.name[0] == '\0');
  }
}

TEST(TokenNameValid, Rule) {
  struct Case {
    std::string name;
    bool want;
  };
  const Case cases[] = {
      {"", false},
      {"a", true},
      {std::string(64, 'x'), true},
      {std::string(65, 'x'), false},
      {"Az09_-", true},
      {"a b", false},
      {"a.b", false},
      {"ä", false},
      {std::string("a\0b", 3), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(token_name_valid(c.name), c.want);
  }
}

TEST(RoleParse, WordsAndNames) {
  TokenRole role = TokenRole::kAdmin;
  EXPECT_EQ(role_parse("read", role), 0);
  EXPECT_EQ(role, TokenRole::kRead);
  EXPECT_EQ(role_parse("admin", role), 0);
  EXPECT_EQ(role, TokenRole::kAdmin);
  for (const char* bad : {"", "Admin", "reader", "admin "}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(role_parse(bad, role), -1);
    EXPECT_EQ(role, TokenRole::kAdmin);
  }
  EXPECT_STREQ(role_name(TokenRole::kAdmin), "admin");
  EXPECT_STREQ(role_name(TokenRole::kRead), "read");
  EXPECT_STREQ(role_name(static_cast<TokenRole>(7)), "read");
}

TEST(TokenFind, ExactNameOnly) {
  auto table = new_table();
  char err[kTokenFileErrSize];
  ASSERT_EQ(
      token_file_parse(line("alice", "read", "1", kSecret) + line("bob", "admin", "2", kSecret2),
                       "t", *table, err),
      0);
  ASSERT_NE(token_find(*table, "bob"), nullptr);
  EXPECT_EQ(token_find(*table, "bob"), &table->tokens[1]);
  EXPECT_EQ(token_find(*table, "Bob"), nullptr);
  EXPECT_EQ(token_find(*table, "bo"), nullptr);
  EXPECT_EQ(token_find(*table, ""), nullptr);
}

TEST(TokenGenerateSecret, FortyThreeBase64UrlCharacters) {
  char a[kTokenSecretSize];
  char b[kTokenSecretSize];
  ASSERT_EQ(token_generate_secret(a), 0);
  ASSERT_EQ(token_generate_secret(b), 0);
  EXPECT_EQ(strlen(a), 43u);
  EXPECT_EQ(strspn(a, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"), 43u);
  // The last character carries 4 bits and two zero bits: one of 16 characters.
  EXPECT_NE(strchr("AEIMQUYcgkosw048", a[42]), nullptr);
  EXPECT_TRUE(strcmp(a, b) != 0);
}

class TokenFile : public testing::Test {
 protected:
  void SetUp() override {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base != nullptr ? base : "/tmp") + "/tokens-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/tokens";
  }
  void TearDown() override {
    nftw(
        dir_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); },
        16, FTW_DEPTH | FTW_PHYS);
  }
  void write(const std::string& path, const std::string& text, mode_t mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ASSERT_EQ(fchmod(fd, mode), 0);
    close(fd);
  }
  std::string read(const std::string& path) {
    std::string text;
    FILE* f = fopen(path.c_str(), "r");
    if (f != nullptr) {
      char buf[4096];
      size_t n;
      while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
        text.append(buf, n);
      }
      fclose(f);
    }
    return text;
  }
  std::string dir_;
  std::string path_;
};

TEST_F(TokenFile, LoadRefusesWhatIsNotAPrivateRegularFile) {
  const std::string good = line("alice", "read", "1", kSecret);
  write(path_, good, 0600);
  const std::string link = dir_ + "/link";
  ASSERT_EQ(symlink(path_.c_str(), link.c_str()), 0);
  const std::string loose = dir_ + "/loose";
  write(loose, good, 0640);
  const std::string other = dir_ + "/other";
  write(other, good, 0604);
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::string path;
    int want_rc;
    std::string want_msg;
    uint64_t want_count;
  };
  const Case cases[] = {
      {path_, 0, "", 1},
      {dir_ + "/absent", 0, "", 0},
      {loose, -1, loose + " must not be accessible by group/others (chmod 600)", 0},
      {other, -1, other + " must not be accessible by group/others (chmod 600)", 0},
      {link, -1, "cannot read " + link + ": " + strerror(ELOOP), 0},
      {dir_, -1, dir_ + " is not a regular file", 0},
      {fifo, -1, fifo + " is not a regular file", 0},  // and the open does not hang
  };
  auto table = new_table();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    char err[kTokenFileErrSize] = "x";
    EXPECT_EQ(token_file_load(c.path.c_str(), *table, err), c.want_rc);
    EXPECT_EQ(err, c.want_msg);
    EXPECT_EQ(table->count, c.want_count);
  }
}

TEST_F(TokenFile, LoadGivesFileMessagesWithPathAndLine) {
  write(path_, "# x\n" + line("alice", "read", "1", kSecret) + "alice read 1 " + kSecret2 + "\n",
        0600);
  auto table = new_table();
  char err[kTokenFileErrSize];
  EXPECT_EQ(token_file_load(path_.c_str(), *table, err), -1);
  EXPECT_EQ(err, path_ + ":3: duplicate token name 'alice'");
  EXPECT_EQ(table->count, 0u);
  // Lines longer than a read chunk's remainder are still seen whole.
  write(path_, std::string(8000, '#') + "\n" + many_tokens(256), 0600);
  EXPECT_EQ(token_file_load(path_.c_str(), *table, err), -1);
  EXPECT_EQ(err, path_ + ":1: line too long");
  write(path_, std::string(300, '\n') + many_tokens(256), 0600);
  EXPECT_EQ(token_file_load(path_.c_str(), *table, err), 0);
  EXPECT_EQ(table->count, 256u);
}

TEST_F(TokenFile, SaveWritesAPrivateFileThatReloadsTheSame) {
  auto table = new_table();
  char err[kTokenFileErrSize];
  ASSERT_EQ(token_file_parse(
                line("zed", "admin", "-12", kSecret) + line("amy", "read", "1700000000", kSecret2),
                "t", *table, err),
            0);
  write(path_, "old\n", 0644);  // replaced whole, mode included
  ASSERT_EQ(token_file_save(path_.c_str(), *table, err), 0) << err;
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(read(path_),
            "# vrk_sched API tokens -- managed by 'vrk_sched api-token add|remove'. Keep this file "
            "root-only (0600).\n# <name> <role> <created-unix> <secret>\n"
            "zed admin -12 " +
                std::string(kSecret) + "\namy read 1700000000 " + kSecret2 + "\n");
  auto again = new_table();
  ASSERT_EQ(token_file_load(path_.c_str(), *again, err), 0);
  expect_same_tables(*table, *again);
  // Nothing but the file itself is left in the directory.
  EXPECT_EQ(access((path_ + ".tmp." + std::to_string(getpid())).c_str(), F_OK), -1);
}

TEST_F(TokenFile, SaveFailureKeepsTheOldFileAndLeavesNoTemporary) {
  auto table = new_table();
  char err[kTokenFileErrSize];
  const std::string tmp_name = ".tmp." + std::to_string(getpid());
  // No such directory: the temporary file cannot be created.
  const std::string nodir = dir_ + "/nodir/tokens";
  EXPECT_EQ(token_file_save(nodir.c_str(), *table, err), -1);
  EXPECT_EQ(err, "cannot write " + nodir + tmp_name + ": " + strerror(ENOENT));
  // The rename fails over a non-empty directory: the old one stays, the temporary goes.
  const std::string busy = dir_ + "/busy";
  ASSERT_EQ(mkdir(busy.c_str(), 0700), 0);
  write(busy + "/inside", "x", 0600);
  EXPECT_EQ(token_file_save(busy.c_str(), *table, err), -1);
  EXPECT_EQ(err, "cannot write " + busy + ": " + strerror(EISDIR));
  EXPECT_EQ(access((busy + tmp_name).c_str(), F_OK), -1);
  EXPECT_EQ(read(busy + "/inside"), "x");
  // A stale temporary file of the same name is replaced, not followed.
  const std::string target = dir_ + "/target";
  write(target, "keep", 0600);
  ASSERT_EQ(symlink(target.c_str(), (path_ + tmp_name).c_str()), 0);
  EXPECT_EQ(token_file_save(path_.c_str(), *table, err), 0) << err;
  EXPECT_EQ(read(target), "keep");
}

TEST_F(TokenFile, StampChangesWithAPermissionChangeAlone) {
  write(path_, line("alice", "read", "1", kSecret), 0640);
  auto table = new_table();
  char err[kTokenFileErrSize];
  TokenFileStamp refused;
  EXPECT_EQ(token_file_load_stamped(path_.c_str(), *table, refused, err), -1);
  EXPECT_NE(refused.inode, 0u);
  TokenFileStamp same;
  token_file_stamp(path_.c_str(), same);
  EXPECT_TRUE(token_file_stamp_same(refused, same));
  // File times advance with the kernel's coarse clock: let it tick before the change.
  const struct timespec pause = {0, 50 * 1000 * 1000};
  nanosleep(&pause, nullptr);
  ASSERT_EQ(chmod(path_.c_str(), 0600), 0);
  TokenFileStamp fixed;
  EXPECT_EQ(token_file_load_stamped(path_.c_str(), *table, fixed, err), 0) << err;
  EXPECT_EQ(fixed.size, refused.size);
  EXPECT_EQ(fixed.mtime_sec, refused.mtime_sec);
  EXPECT_EQ(fixed.mtime_nsec, refused.mtime_nsec);
  EXPECT_FALSE(token_file_stamp_same(refused, fixed));
  // An absent file has the all-zero stamp.
  ASSERT_EQ(unlink(path_.c_str()), 0);
  TokenFileStamp gone;
  EXPECT_EQ(token_file_load_stamped(path_.c_str(), *table, gone, err), 0);
  EXPECT_TRUE(token_file_stamp_same(gone, TokenFileStamp{}));
}

}  // namespace
}  // namespace vrk
