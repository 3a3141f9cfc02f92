#include "sched/values.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/error.h"

namespace vrk {
namespace {

TEST(ParseYesNo, Table) {
  struct Case {
    const char* input;
    int want_rc;
    int want_flag;  // 7: untouched
  } cases[] = {
      {"yes", 0, 1},   {"Yes", 0, 1},   {"TRUE", 0, 1},  {"true", 0, 1}, {"1", 0, 1},
      {"no", 0, 0},    {"NO", 0, 0},    {"False", 0, 0}, {"0", 0, 0},    {"", -1, 7},
      {"01", -1, 7},   {"y", -1, 7},    {"on", -1, 7},   {"off", -1, 7}, {" yes", -1, 7},
      {"yes ", -1, 7}, {"yess", -1, 7}, {"10", -1, 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    int flag = 7;
    EXPECT_EQ(parse_yes_no(c.input, flag), c.want_rc);
    EXPECT_EQ(flag, c.want_flag);
  }
}

TEST(RetentionParse, Table) {
  struct Case {
    const char* input;
    int want_rc;
    uint32_t want_count;
    RetentionUnit want_unit;
  } cases[] = {
      {"forever", 0, 0, RetentionUnit::kForever},
      {"30d", 0, 30, RetentionUnit::kDays},
      {"1y", 0, 1, RetentionUnit::kYears},
      {"100y", 0, 100, RetentionUnit::kYears},
      {"1200m", 0, 1200, RetentionUnit::kMonths},
      {"5200w", 0, 5200, RetentionUnit::kWeeks},
      {"36500d", 0, 36500, RetentionUnit::kDays},
      {"", -1, 0, {}},
      {"0d", -1, 0, {}},
      {"07d", -1, 0, {}},
      {"101y", -1, 0, {}},
      {"1201m", -1, 0, {}},
      {"5201w", -1, 0, {}},
      {"36501d", -1, 0, {}},
      {"100001d", -1, 0, {}},
      {"99999999999999999999999d", -1, 0, {}},
      {"1D", -1, 0, {}},
      {"1 d", -1, 0, {}},
      {"1dd", -1, 0, {}},
      {"d", -1, 0, {}},
      {"1", -1, 0, {}},
      {"-1d", -1, 0, {}},
      {"+1d", -1, 0, {}},
      {"1h", -1, 0, {}},
      {"Forever", -1, 0, {}},
      {"forever ", -1, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    RetentionValue v{77, RetentionUnit::kYears};
    EXPECT_EQ(retention_parse(c.input, &v), c.want_rc);
    if (c.want_rc == 0) {
      EXPECT_EQ(v.count, c.want_count);
      EXPECT_EQ(v.unit, c.want_unit);
    } else {
      EXPECT_EQ(v.count, 77u) << "output touched on failure";
    }
    EXPECT_EQ(retention_parse(c.input, nullptr), c.want_rc);
  }
}

TEST(RetentionClassValid, Table) {
  const std::string max(kRetentionClassMax, 'a');
  struct Case {
    std::string input;
    bool want;
  } cases[] = {
      {"", true},      {"gold", true},   {"a-b_c9", true}, {max, true},          {max + "a", false},
      {"Gold", false}, {"go.ld", false}, {"go ld", false}, {"g\xc3\xa4", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(retention_class_valid(c.input), c.want);
  }
}

TEST(SecretRefParse, Table) {
  struct Case {
    const char* input;
    int want_rc;
    const char* want_msg;
    SecretKind want_kind;
    const char* want_rest;
  } cases[] = {
      {"", -1, "empty secret value", {}, ""},
      {"file:", -1, "file: needs a path", {}, ""},
      {"kms:", -1, "kms: needs a url", {}, ""},
      {"file:/etc/pw", 0, "", SecretKind::kFile, "/etc/pw"},
      {"kms:https://k/1", 0, "", SecretKind::kKms, "https://k/1"},
      {"File:x", 0, "", SecretKind::kLiteral, "File:x"},
      {"s3cret", 0, "", SecretKind::kLiteral, "s3cret"},
      {"file", 0, "", SecretKind::kLiteral, "file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    SecretRef ref{SecretKind::kKms, "old"};
    char err[128];
    EXPECT_EQ(secret_ref_parse(c.input, ref, err), c.want_rc);
    EXPECT_STREQ(err, c.want_msg);
    if (c.want_rc == 0) {
      EXPECT_EQ(ref.kind, c.want_kind);
      EXPECT_EQ(ref.rest, c.want_rest);
    } else {
      EXPECT_EQ(ref.rest, "old");
    }
    // Without a buffer the result is the same.
    SecretRef ref2;
    EXPECT_EQ(secret_ref_parse(c.input, ref2, {}), c.want_rc);
  }
}

class SecretResolve : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = getenv("TMPDIR");
    dir_ = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/secret_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir_.data()), nullptr);
  }
  void TearDown() override {
    for (const std::string& f : files_) {
      unlink(f.c_str());
    }
    rmdir(dir_.c_str());
  }
  std::string write_file(const char* name, const std::string& content) {
    std::string path = dir_ + "/" + name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
    files_.push_back(path);
    return path;
  }

  std::string dir_;
  std::vector<std::string> files_;
};

// out holds exactly want followed by zeros.
bool holds_secret(const char (&out)[kSecretSize], const std::string& want) {
  if (memcmp(out, want.data(), want.size()) != 0) {
    return false;
  }
  for (size_t i = want.size(); i < sizeof(out); ++i) {
    if (out[i] != '\0') {
      return false;
    }
  }
  return true;
}

TEST_F(SecretResolve, Files) {
  const std::string s64(64, 'k');
  struct Case {
    const char* name;
    std::string content;
    int want_rc;
    std::string want;
  } cases[] = {
      {"newline", "pw\n", 0, "pw"},
      {"crlf_blanks", "p w\t \r\n\n", 0, "p w"},
      {"leading", "  pw", 0, "  pw"},
      {"max", s64 + "\n", 0, s64},
      {"max_then_blanks", s64 + std::string(63, ' '), 0, s64},
      {"over", s64 + "k", kErrInvalid, ""},
      {"long_tail", s64 + std::string(100, 'x'), kErrInvalid, ""},
      {"empty", "", kErrInvalid, ""},
      {"blank", " \t\r\n", kErrInvalid, ""},
      {"nul", std::string("p\0w", 3), kErrInvalid, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = write_file(c.name, c.content);
    std::string ref_text = "file:" + path;
    SecretRef ref;
    ASSERT_EQ(secret_ref_parse(ref_text, ref, {}), 0);
    char out[kSecretSize];
    memset(out, 'z', sizeof(out));
    EXPECT_EQ(secret_resolve(ref, out), c.want_rc);
    EXPECT_TRUE(holds_secret(out, c.want));
  }
}

TEST_F(SecretResolve, Others) {
  const std::string s64(64, 'k');
  struct Case {
    std::string ref_text;
    size_t out_size;
    int want_rc;
    std::string want;
  } cases[] = {
      {"s3cret", kSecretSize, 0, "s3cret"},
      {s64, kSecretSize, 0, s64},
      {s64 + "k", kSecretSize, kErrInvalid, ""},
      {"s3cret", kSecretSize - 1, kErrInvalid, ""},
      {"file:" + dir_ + "/missing", kSecretSize, kErrNotFound, ""},
      {"file:" + dir_, kSecretSize, kErrIo, ""},
      {"kms:https://kms.example/key", kSecretSize, kErrNotSupported, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ref_text);
    SecretRef ref;
    ASSERT_EQ(secret_ref_parse(c.ref_text, ref, {}), 0);
    char out[kSecretSize];
    memset(out, 0, sizeof(out));
    EXPECT_EQ(secret_resolve(ref, std::span<char>(out, c.out_size)), c.want_rc);
    EXPECT_TRUE(holds_secret(out, c.want));
  }
}

}  // namespace
}  // namespace vrk
