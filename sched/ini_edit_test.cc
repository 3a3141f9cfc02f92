#include "sched/ini_edit.h"

#include <stdint.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/error.h"
#include "sched/config.h"
#include "sched/config_load.h"

namespace vrk {
namespace {

TEST(IniValueWritable, AppliesTheTextValueRule) {
  struct Case {
    std::string v;
    bool want;
  } cases[] = {
      {"", false},
      {"a", true},
      {std::string(1023, 'x'), true},
      {std::string(1024, 'x'), false},
      {"a b", true},
      {" a", false},
      {"a ", false},
      {"a\n", false},
      {"\ta", false},
      {"a\tb", false},
      {"a\nb", false},
      {"a\rb", false},
      {std::string("a\0b", 3), false},
      {"a\x1f"
       "b",
       false},
      {"a\x7f", false},
      {"caf\xc3\xa9 \xff", true},
      {"#;'\"[]=", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.v);
    EXPECT_EQ(ini_value_writable(c.v), c.want);
  }
}

struct SetCase {
  const char* name;
  std::string text;
  const char* section;
  std::vector<SettingPair> pairs;
  std::string want;
};

TEST(IniSetSection, RewritesInPlaceByteForByte) {
  const std::string mail =
      "# relay settings\n"
      "[mail]\n"
      "smtp-host = old  # primary relay\n"
      "; the port of the relay\n"
      "smtp-port = 25\n"
      "to = a@example.org\n"
      "\n"
      "[  job1 ]   ; first\n"
      "command=agent\n";
  SetCase cases[] = {
      {"mail example",
       mail,
       "mail",
       {{"smtp-host", "new"}, {"to", "b@example.org"}, {"from", "s@example.org"}},
       "# relay settings\n"
       "[mail]\n"
       "smtp-host=new  # primary relay\n"
       "; the port of the relay\n"
       "to=b@example.org\n"
       "from=s@example.org\n"
       "\n"
       "[  job1 ]   ; first\n"
       "command=agent\n"},
      {"section with odd spacing in its header",
       mail,
       "job1",
       {{"command", "verify"}},
       mail.substr(0, mail.size() - 14) + "command=verify\n"},
      {"no pairs keeps header, comments and blank lines",
       mail,
       "mail",
       {},
       "# relay settings\n[mail]\n; the port of the relay\n\n[  job1 ]   ; first\ncommand=agent\n"},
      {"quoting",
       "[j]\na=1\n",
       "j",
       {{"a", "a #b"},
        {"b", "it's #1"},
        {"c", "x;y"},
        {"d", "#x"},
        {"e", "\"q"},
        {"f", "'q\\\""},
        {"h", "a#b c;d"}},
       "[j]\na='a #b'\nb=\"it's #1\"\nc=x;y\nd='#x'\ne='\"q'\nf=\"'q\\\\\\\"\"\n"
       "h=a#b c;d\n"},
      {"quoted old value and trailing blanks kept",
       "[j]\n  a =  \"x # y\"   \t\nb=2 ;c\n",
       "j",
       {{"b", "3"}, {"a", "z"}},
       "[j]\na=z   \t\nb=3 ;c\n"},
      {"crlf lines keep their ends, new lines follow the file",
       "[sched]\r\npoll-interval = 5 # s\r\n\r\n[j]\r\ncommand=agent\r\n",
       "sched",
       {{"poll-interval", "7"}, {"job-log-keep", "3"}},
       "[sched]\r\npoll-interval=7 # s\r\njob-log-keep=3\r\n\r\n[j]\r\ncommand=agent\r\n"},
      {"crlf file, new section",
       "[a]\r\nx=1\r\n",
       "b",
       {{"k", "v"}},
       "[a]\r\nx=1\r\n\r\n[b]\r\nk=v\r\n"},
      {"no final line feed, new section", "[a]\nx=1", "b", {{"k", "v"}}, "[a]\nx=1\n\n[b]\nk=v\n"},
      {"no final line feed, last line rewritten", "[a]\nx=1", "a", {{"x", "2"}}, "[a]\nx=2\n"},
      {"no final line feed after a comment, pairs added",
       "[a]\nx=1\n# end",
       "a",
       {{"x", "1"}, {"y", "2"}},
       "[a]\nx=1\ny=2\n# end"},
      {"no final line feed on the header", "[a]", "a", {{"y", "2"}}, "[a]\ny=2\n"},
      {"empty text", "", "j", {{"command", "agent"}}, "[j]\ncommand=agent\n"},
      {"section without keys gets pairs after its header",
       "[a]\n# c\n\n[b]\n",
       "a",
       {{"k", "v"}},
       "[a]\nk=v\n# c\n\n[b]\n"},
      {"second line of a used key dropped",
       "[a]\nk=1\nk=2 # two\nz=0\n",
       "a",
       {{"k", "9"}},
       "[a]\nk=9\n"},
      {"header with comment and a byte order mark",
       "\xEF\xBB\xBF[a] # x\nk=1\n",
       "a",
       {{"k", "2"}},
       "\xEF\xBB\xBF[a] # x\nk=2\n"},
      {"name is compared whole and case-sensitively",
       "[Sched]\nk=1\n",
       "sched",
       {{"k", "2"}},
       "[Sched]\nk=1\n\n[sched]\nk=2\n"},
      {"key lines of other sections stay",
       "[a]\nk=1\n[b]\nk=1\n[c]\nk=1\n",
       "b",
       {{"k", "2"}},
       "[a]\nk=1\n[b]\nk=2\n[c]\nk=1\n"},
      {"comment right after a closing quote keeps being a comment",
       "[a]\nk='x';c\nm=\"1\"#d\n",
       "a",
       {{"k", "y"}, {"m", "#"}},
       "[a]\nk=y ;c\nm='#' #d\n"},
      {"commented-out key is no key line",
       "[a]\n#k=1\nk = 2\n",
       "a",
       {{"k", "3"}},
       "[a]\n#k=1\nk=3\n"},
  };
  for (const SetCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = "stale";
    ASSERT_EQ(ini_set_section(c.text, c.section, c.pairs, out), 0);
    EXPECT_EQ(out, c.want);
  }
}

TEST(IniSetSection, RefusesWhatCannotBeWritten) {
  const std::string text = "[a]\nk=1\n";
  struct Case {
    const char* name;
    std::string section;
    std::string key;
    std::string value;
  } cases[] = {
      {"line feed in value", "a", "k", "x\ny"},
      {"leading blank", "a", "k", " x"},
      {"1024 bytes", "a", "k", std::string(1024, 'v')},
      {"empty value", "a", "k", ""},
      {"empty key", "a", "", "v"},
      {"key with =", "a", "k=", "v"},
      {"key with #", "a", "k#", "v"},
      {"key starting with ;", "a", ";k", "v"},
      {"key with a blank", "a", "k k", "v"},
      {"key with [", "a", "[k", "v"},
      {"key of 64 bytes", "a", std::string(64, 'k'), "v"},
      {"section with ]", "a]", "k", "v"},
      {"section with [", "[a", "k", "v"},
      {"empty section", "", "k", "v"},
      {"section with a line feed", "a\nb", "k", "v"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SettingPair pairs[] = {{"x", "1"}, {c.key, c.value}};
    std::string out = "stale";
    EXPECT_EQ(ini_set_section(text, c.section, pairs, out), kErrInvalid);
    EXPECT_TRUE(out.empty());
  }
  SettingPair twice[] = {{"k", "1"}, {"k", "2"}};
  std::string out;
  EXPECT_EQ(ini_set_section(text, "a", twice, out), kErrInvalid);
  const std::string key63(63, 'k');
  const std::string value1023(1023, 'v');
  SettingPair longest[] = {{key63, value1023}};
  EXPECT_EQ(ini_set_section(text, "a", longest, out), 0);
}

TEST(IniRemoveSection, DropsHeaderAndItsLinesOnly) {
  struct Case {
    const char* name;
    std::string text;
    const char* section;
    int want_rc;
    std::string want;
  } cases[] = {
      {"middle", "# top\n[a]\nk=1\n[b] ; c\nk=2\n# b's comment\n\n[c]\nk=3", "b", 0,
       "# top\n[a]\nk=1\n[c]\nk=3"},
      {"last, crlf", "[a]\r\nk=1\r\n[b]\r\nk=2\r\n", "b", 0, "[a]\r\nk=1\r\n"},
      {"only section", "[a]\nk=1\n", "a", 0, ""},
      {"every header of that name", "[a]\nk=1\n[b]\n[a]\nk=2\n", "a", 0, "[b]\n"},
      {"missing", "[a]\nk=1\n", "b", kErrNotFound, ""},
      {"empty text", "", "a", kErrNotFound, ""},
      {"commented header is none", "#[a]\n[b]\n", "a", kErrNotFound, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = "stale";
    EXPECT_EQ(ini_remove_section(c.text, c.section, out), c.want_rc);
    EXPECT_EQ(out, c.want);
  }
}

TEST(IniGetValue, FindsTheFirstFittingUnquotedValue) {
  const std::string text =
      "[mail]\n"
      "to = x\n"
      "[api]\n"
      "smtp-password = wrong\n"
      "[mail] # again\n"
      "smtp-password = \"a \\\"b\\\\ c\\d\"  # pw\n"
      "from = 'it # is'\n"
      "long = 12345678\n"
      "long = 1234\n"
      "broken = 'x\n";
  struct Case {
    const char* section;
    const char* key;
    size_t size;
    bool want;
    const char* value;
  } cases[] = {
      {"mail", "smtp-password", 64, true, "a \"b\\ c\\d"},
      {"mail", "from", 64, true, "it # is"},
      {"api", "smtp-password", 64, true, "wrong"},
      {"mail", "to", 2, true, "x"},
      {"mail", "long", 9, true, "12345678"},
      {"mail", "long", 8, true, "1234"},
      {"mail", "long", 4, false, ""},
      {"mail", "broken", 64, false, ""},
      {"mail", "missing", 64, false, ""},
      {"sched", "to", 64, false, ""},
      {"mail", "to", 1, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.section) + " " + c.key);
    char out[64] = "stale";
    EXPECT_EQ(ini_get_value(text, c.section, c.key, std::span<char>(out, c.size)), c.want);
    EXPECT_STREQ(out, c.value);
  }
  EXPECT_TRUE(ini_has_section(text, "api"));
  EXPECT_TRUE(ini_has_section("[ x y ]  # c", "x y"));
  EXPECT_FALSE(ini_has_section(text, "sched"));
  EXPECT_FALSE(ini_has_section("[sched", "sched"));
  EXPECT_FALSE(ini_has_section("; [sched]", "sched"));
}

// Generated files: sections of comments, blank lines, odd spacing, quoted and unquoted values,
// CRLF or LF ends and perhaps no final line feed. After setting one job's section, the loader
// sees exactly the given settings there, and every other section is byte-identical.
class IniGen {
 public:
  explicit IniGen(uint32_t seed) : rng_(seed) {}

  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }

  // A value to set: printable, with the bytes that need quoting, no blank at either end.
  std::string value() {
    static const char kBytes[] = "ab #;'\"\\=[]x\xc3\xa9";
    std::string v;
    size_t n = 1 + pick(40);
    for (size_t i = 0; i < n; ++i) {
      v += kBytes[pick(sizeof(kBytes) - 1)];
    }
    while (!v.empty() && v.back() == ' ') {
      v.pop_back();
    }
    while (!v.empty() && v.front() == ' ') {
      v.erase(0, 1);
    }
    return v.empty() ? "p" : v;
  }

  std::string noise(std::string_view eol) {
    switch (pick(4)) {
      case 0:
        return std::string(eol);
      case 1:
        return "# note = " + std::to_string(pick(100)) + std::string(eol);
      case 2:
        return "  ;" + std::string(eol);
      default:
        return " \t" + std::string(eol);
    }
  }

  std::string setting(const char* key, const std::string& value, std::string_view eol) {
    static const char* kLead[] = {"", "  ", "\t"};
    static const char* kAround[] = {"=", " = ", "\t=  "};
    static const char* kTail[] = {"", "   ", "  # was here", " ; c"};
    std::string v = pick(2) == 0 ? "'" + value + "'" : value;
    return std::string(kLead[pick(3)]) + key + kAround[pick(3)] + v + kTail[pick(4)] +
           std::string(eol);
  }

  std::mt19937 rng_;
};

TEST(IniSetSection, GeneratedFilesLoadWithExactlyTheGivenKeys) {
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE(seed);
    IniGen g(seed);
    const std::string_view eol = g.pick(3) == 0 ? "\r\n" : "\n";
    std::vector<std::string> sections;
    const size_t jobs = 1 + g.pick(4);
    std::string head = g.noise(eol);
    if (g.pick(2) == 0) {
      sections.push_back(head + "[sched]" + std::string(eol) +
                         g.setting("poll-interval", "30", eol) + g.noise(eol));
    }
    for (size_t j = 0; j < jobs; ++j) {
      std::string s = (sections.empty() ? head : "") + (g.pick(2) ? "[j" : "[ j") +
                      std::to_string(j) + (g.pick(2) ? "]" : " ]  # job") + std::string(eol);
      s += g.noise(eol);
      if (g.pick(2)) {
        s += g.setting("profile", "p" + std::to_string(g.pick(100)), eol);
      }
      s += g.setting("schedule", "0 3 * * *", eol);
      if (g.pick(2)) {
        s += g.noise(eol);
        s += g.setting("timeout-seconds", std::to_string(g.pick(1000)), eol);
      }
      if (g.pick(2)) {
        s += g.setting("enabled", "yes", eol);
      }
      s += g.noise(eol);
      sections.push_back(s);
    }
    std::string text;
    for (const std::string& s : sections) {
      text += s;
    }
    if (g.pick(3) == 0) {
      text.resize(text.size() - eol.size());
      sections.back().resize(sections.back().size() - eol.size());
    }
    auto cfg = std::make_unique<SchedConfig>();
    char err[kConfigApiErrSize];
    ASSERT_EQ(config_load_text(text, "g.cfg", *cfg, err), 0) << err << "\n" << text;
    config_free(*cfg);

    const bool create = g.pick(5) == 0;
    const size_t target = create ? jobs : g.pick(jobs);
    const std::string name = "j" + std::to_string(target);
    const std::string profile = g.value();
    const uint32_t timeout_n = static_cast<uint32_t>(1 + g.pick(5000));
    const std::string timeout = std::to_string(timeout_n);
    std::vector<SettingPair> pairs;
    const bool with_profile = g.pick(2) == 0;
    const bool with_timeout = g.pick(2) == 0;
    if (with_timeout) {
      pairs.push_back({"timeout-seconds", timeout});
    }
    pairs.push_back({"enabled", "no"});
    if (with_profile) {
      pairs.push_back({"profile", profile});
    }
    std::string out;
    ASSERT_EQ(ini_set_section(text, name, pairs, out), 0);
    ASSERT_EQ(config_load_text(out, "g.cfg", *cfg, err), 0) << err << "\n" << out;
    const JobConfig* job = config_find_job(*cfg, name);
    ASSERT_NE(job, nullptr) << out;
    EXPECT_EQ(job->enabled, 0u);
    EXPECT_EQ(job->has_schedule, 0u);
    EXPECT_EQ(job->timeout_seconds, with_timeout ? timeout_n : 0u);
    EXPECT_EQ(std::string(job->profile), with_profile ? profile : "");
    EXPECT_EQ(cfg->job_count, create ? jobs + 1 : jobs);
    config_free(*cfg);

    // Sections before the target are a prefix of the result, those after it a suffix.
    const size_t first_job = sections.size() - jobs;
    std::string before;
    std::string after;
    for (size_t i = 0; i < sections.size(); ++i) {
      if (create || i < first_job + target) {
        before += sections[i];
      } else if (i > first_job + target) {
        after += sections[i];
      }
    }
    EXPECT_TRUE(out.starts_with(before));
    EXPECT_TRUE(out.ends_with(after));
  }
}

}  // namespace
}  // namespace vrk
