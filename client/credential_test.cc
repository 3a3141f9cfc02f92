#include "client/credential.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

namespace vrk {
namespace {

const std::string kSecret = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123-_x";  // 43 characters

TEST(CredentialParse, Table) {
  const std::string name64(64, 'n');
  struct Case {
    std::string text;
    int want_rc;
    std::string want_msg;
    std::string want_name;
  };
  const Case cases[] = {
      {"adm." + kSecret + "\n", 0, "", "adm"},
      {"# the API token\n\n  adm." + kSecret + "  \n", 0, "", "adm"},
      {"adm admin 1700000000 " + kSecret, 0, "", "adm"},
      {"r-1_x read -5 " + kSecret, 0, "", "r-1_x"},
      {name64 + "." + kSecret, 0, "", name64},
      {"", -1, "t: no token in the file", ""},
      {"# only a comment\n\n", -1, "t: no token in the file", ""},
      {"adm " + kSecret, -1,
       "t:1: expected '<name>.<secret>' or '<name> <role> <created> <secret>'", ""},
      {"adm admin 1 " + kSecret + " more", -1,
       "t:1: expected '<name>.<secret>' or '<name> <role> <created> <secret>'", ""},
      {"adm root 1 " + kSecret, -1,
       "t:1: expected '<name>.<secret>' or '<name> <role> <created> <secret>'", ""},
      {"adm admin 1x " + kSecret, -1,
       "t:1: expected '<name>.<secret>' or '<name> <role> <created> <secret>'", ""},
      {"\n#\nn" + name64 + "." + kSecret, -1, "t:3: invalid token name", ""},
      {"." + kSecret, -1, "t:1: invalid token name", ""},
      {"a.b." + kSecret, -1, "t:1: malformed secret", ""},
      {"adm." + kSecret.substr(1), -1, "t:1: malformed secret", ""},
      {"adm." + kSecret + "x", -1, "t:1: malformed secret", ""},
      {"adm." + kSecret.substr(1) + "+", -1, "t:1: malformed secret", ""},
      {"adm." + kSecret + "\n#\nother." + kSecret, -1, "t:3: more than one token", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ClientToken t;
    char err[kCredentialErrSize];
    EXPECT_EQ(credential_parse(c.text, "t", t, err), c.want_rc);
    EXPECT_EQ(std::string(err), c.want_msg);
    EXPECT_EQ(std::string(t.name), c.want_name);
    EXPECT_TRUE(c.want_rc == 0 ? kSecret == t.secret : t.secret[0] == '\0');
  }
}

class CredentialLoad : public testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = getenv("TMPDIR");
    dir_ = std::string(tmp != nullptr ? tmp : "/tmp") + "/vrk_cred_XXXXXX";
    ASSERT_NE(mkdtemp(dir_.data()), nullptr);
    path_ = dir_ + "/token";
  }
  void TearDown() override {
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  void write(const std::string& text, mode_t mode) {
    FILE* f = fopen(path_.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    chmod(path_.c_str(), mode);
  }
  std::string dir_;
  std::string path_;
};

TEST_F(CredentialLoad, ChecksTheFileBeforeItsText) {
  ClientToken t;
  char err[kCredentialErrSize];
  EXPECT_EQ(credential_load(path_.c_str(), t, err), -1);
  EXPECT_EQ(std::string(err), "cannot read " + path_ + ": No such file or directory");
  EXPECT_EQ(credential_load(dir_.c_str(), t, err), -1);
  EXPECT_EQ(std::string(err), dir_ + " is not a regular file");
  write("adm." + kSecret + "\n", 0640);
  EXPECT_EQ(credential_load(path_.c_str(), t, err), -1);
  EXPECT_EQ(std::string(err), path_ + " must not be accessible by group/others (chmod 600)");
  chmod(path_.c_str(), 0604);
  EXPECT_EQ(credential_load(path_.c_str(), t, err), -1);
  chmod(path_.c_str(), 0600);
  EXPECT_EQ(credential_load(path_.c_str(), t, err), 0);
  EXPECT_STREQ(t.name, "adm");
  EXPECT_TRUE(kSecret == t.secret);
}

TEST_F(CredentialLoad, LimitsTheFileSize) {
  std::string line = "adm." + kSecret + "\n";
  std::string padded = std::string(kCredentialFileMax - line.size(), '\n') + line;
  write(padded, 0600);
  ClientToken t;
  char err[kCredentialErrSize];
  EXPECT_EQ(credential_load(path_.c_str(), t, err), 0);
  write(padded + "\n", 0600);
  EXPECT_EQ(credential_load(path_.c_str(), t, err), -1);
  EXPECT_EQ(std::string(err), path_ + " is larger than 4096 bytes");
  EXPECT_EQ(t.secret[0], '\0');
}

}  // namespace
}  // namespace vrk
