#include "net/mail_compose.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_tz.h"
#include "common/text.h"

namespace vrk {
namespace {

// 2023-11-14 22:13:20 UTC, a Tuesday.
constexpr int64_t kNow = 1700000000;

MailSettings make_settings(std::vector<const char*> to) {
  MailSettings s;
  EXPECT_TRUE(text_copy(s.from, "sched@example.org"));
  for (const char* r : to) {
    EXPECT_TRUE(text_copy(s.recipients[s.recipient_count++], r));
  }
  return s;
}

struct Composed {
  long rc = 0;
  std::string text;
};

Composed compose(const MailSettings& s, std::string_view subject, std::string_view body,
                 int64_t now = kNow, size_t size = kMailMessageSize) {
  std::vector<char> out(size);
  Composed c;
  c.rc = mail_compose(s, subject, body, now, "backup1", out);
  if (c.rc >= 0) {
    c.text.assign(out.data(), static_cast<size_t>(c.rc));
  }
  return c;
}

void replace_all(std::string& s, std::string_view from, std::string_view to) {
  for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size())) {
    s.replace(p, from.size(), to);
  }
}

// The counter the message used, read back from its Message-ID.
unsigned message_counter(const std::string& msg) {
  long long when = 0;
  int pid = 0;
  unsigned counter = 0;
  size_t p = msg.find("\r\nMessage-ID: <");
  if (p == std::string::npos ||
      sscanf(msg.c_str() + p, "\r\nMessage-ID: <%lld.%d.%u@", &when, &pid, &counter) != 3) {
    ADD_FAILURE() << "no Message-ID";
  }
  return counter;
}

std::string boundary_of(const std::string& msg) {
  const std::string key = "boundary=\"";
  size_t p = msg.find(key);
  if (p == std::string::npos) {
    return "";
  }
  p += key.size();
  return msg.substr(p, msg.find('"', p) - p);
}

// The text part and the HTML text (between the fixed opening and closing) of a message.
struct Parts {
  std::string text;
  std::string html;
};

Parts parts_of(const std::string& msg) {
  const std::string b = "--" + boundary_of(msg) + "\r\n";
  const std::string head_end = "Content-Transfer-Encoding: 8bit\r\n\r\n";
  const std::string opening =
      "<!DOCTYPE html>\r\n<html><head><meta charset=\"UTF-8\"></head><body>\r\n<pre "
      "style=\"font-family: Consolas, 'Courier New', monospace; font-size: 10pt;\">\r\n";
  Parts p;
  size_t t = msg.find(head_end);
  size_t h = msg.find(b, t);
  if (t == std::string::npos || h == std::string::npos) {
    ADD_FAILURE() << "no text part";
    return p;
  }
  t += head_end.size();
  p.text = msg.substr(t, h - t);
  size_t o = msg.find(opening, h);
  size_t c = msg.find("</pre>\r\n</body></html>\r\n--", h);
  if (o == std::string::npos || c == std::string::npos) {
    ADD_FAILURE() << "no HTML part";
    return p;
  }
  o += opening.size();
  p.html = msg.substr(o, c - o);
  return p;
}

size_t longest_line(const std::string& msg) {
  size_t longest = 0;
  size_t start = 0;
  for (size_t p = msg.find("\r\n"); p != std::string::npos; p = msg.find("\r\n", start)) {
    longest = std::max(longest, p - start);
    start = p + 2;
  }
  return std::max(longest, msg.size() - start);
}

class MailCompose : public testing::Test {
 protected:
  static void set_tz(const char* tz) { TestTz::set(tz); }

 private:
  TestTz tz_{"UTC0"};
};

TEST_F(MailCompose, WholeMessageGolden) {
  MailSettings s = make_settings({"ops@example.org"});
  Composed c = compose(s, "Test", "Job done <ok> & fine\n");
  ASSERT_GT(c.rc, 0);
  std::string want =
      "Date: Tue, 14 Nov 2023 22:13:20 +0000\r\n"
      "From: sched@example.org\r\n"
      "To: ops@example.org\r\n"
      "Subject: Test\r\n"
      "Message-ID: <1700000000.{P}.{C}@backup1>\r\n"
      "MIME-Version: 1.0\r\n"
      "Content-Type: multipart/alternative; boundary=\"=_arvenna_1700000000_{P}_{C}_0\"\r\n"
      "\r\n"
      "--=_arvenna_1700000000_{P}_{C}_0\r\n"
      "Content-Type: text/plain; charset=UTF-8\r\n"
      "Content-Transfer-Encoding: 8bit\r\n"
      "\r\n"
      "Job done <ok> & fine\r\n"
      "--=_arvenna_1700000000_{P}_{C}_0\r\n"
      "Content-Type: text/html; charset=UTF-8\r\n"
      "Content-Transfer-Encoding: 8bit\r\n"
      "\r\n"
      "<!DOCTYPE html>\r\n"
      "<html><head><meta charset=\"UTF-8\"></head><body>\r\n"
      "<pre style=\"font-family: Consolas, 'Courier New', monospace; font-size: 10pt;\">\r\n"
      "Job done &lt;ok&gt; &amp; fine\r\n"
      "</pre>\r\n"
      "</body></html>\r\n"
      "--=_arvenna_1700000000_{P}_{C}_0--\r\n";
  replace_all(want, "{P}", std::to_string(getpid()));
  replace_all(want, "{C}", std::to_string(message_counter(c.text)));
  EXPECT_EQ(c.text, want);

  // The buffer must hold the whole message: its exact length fits, one byte less does not.
  EXPECT_EQ(compose(s, "Test", "Job done <ok> & fine\n", kNow, want.size()).rc,
            static_cast<long>(want.size()));
  EXPECT_EQ(compose(s, "Test", "Job done <ok> & fine\n", kNow, want.size() - 1).rc, -1);
  EXPECT_EQ(compose(s, "Test", "x", kNow, 0).rc, -1);
}

TEST_F(MailCompose, CounterAdvancesOncePerMessage) {
  MailSettings s = make_settings({"ops@example.org"});
  unsigned first = message_counter(compose(s, "a", "b").text);
  unsigned second = message_counter(compose(s, "a", "b").text);
  EXPECT_EQ(second, first + 1);
}

TEST_F(MailCompose, DateInLocalTimeWithEnglishNames) {
  struct Case {
    const char* tz;
    int64_t now;
    const char* want;
  };
  const Case cases[] = {
      {"UTC0", kNow, "Date: Tue, 14 Nov 2023 22:13:20 +0000\r\n"},
      {"UTC0", 0, "Date: Thu, 01 Jan 1970 00:00:00 +0000\r\n"},
      {"Europe/Berlin", 1688212800, "Date: Sat, 01 Jul 2023 14:00:00 +0200\r\n"},
      {"Europe/Berlin", 1704067199, "Date: Mon, 01 Jan 2024 00:59:59 +0100\r\n"},
      {"America/St_Johns", kNow, "Date: Tue, 14 Nov 2023 18:43:20 -0330\r\n"},
      {"Asia/Kolkata", 1709251200, "Date: Fri, 01 Mar 2024 05:30:00 +0530\r\n"},
      {"UTC0", 951782400, "Date: Tue, 29 Feb 2000 00:00:00 +0000\r\n"},
  };
  MailSettings s = make_settings({"ops@example.org"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tz);
    set_tz(c.tz);
    Composed m = compose(s, "x", "y", c.now);
    EXPECT_EQ(m.text.substr(0, m.text.find("From:")), c.want);
  }
}

TEST_F(MailCompose, RecipientsFoldIntoOneToHeader) {
  struct Case {
    std::vector<const char*> to;
    const char* want;
  };
  const Case cases[] = {
      {{"a@x.org"}, "To: a@x.org\r\nSubject: "},
      {{"a@x.org", "b@y.org", "c@z.org"}, "To: a@x.org,\r\n b@y.org,\r\n c@z.org\r\nSubject: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    Composed m = compose(make_settings(c.to), "s", "b");
    size_t p = m.text.find("To: ");
    ASSERT_NE(p, std::string::npos);
    EXPECT_EQ(m.text.substr(p, strlen(c.want)), c.want);
  }
}

TEST_F(MailCompose, SubjectPlainOrEncodedWords) {
  const std::string x45 = [] {
    std::string r;
    for (int i = 0; i < 15; ++i) {
      r += "eHh4";
    }
    return r;
  }();
  std::string x901_want;
  for (int i = 0; i < 20; ++i) {
    x901_want += (i ? "\r\n =?UTF-8?B?" : "=?UTF-8?B?") + x45 + "?=";
  }
  x901_want += "\r\n =?UTF-8?B?eA==?=";
  std::string euro20;
  std::string grin12;
  for (int i = 0; i < 20; ++i) {
    euro20 += "\xE2\x82\xAC";
  }
  for (int i = 0; i < 12; ++i) {
    grin12 += "\xF0\x9F\x98\x80";
  }
  struct Case {
    std::string subject;
    std::string want;
  };
  const Case cases[] = {
      {"", ""},
      {"[arvenna] host1: job nightly DONE", "[arvenna] host1: job nightly DONE"},
      {std::string(900, 'x'), std::string(900, 'x')},
      {std::string(901, 'x'), x901_want},
      {"tab\there", "=?UTF-8?B?dGFiCWhlcmU=?="},
      {"del\x7F", "=?UTF-8?B?ZGVsfw==?="},
      {"Gr\xC3\xBC\xC3\x9F"
       "e aus dem Backup",
       "=?UTF-8?B?R3LDvMOfZSBhdXMgZGVtIEJhY2t1cA==?="},
      // A character across the 45-byte cut moves to the next piece.
      {std::string(44, 'a') + "\xC3\xA9",
       "=?UTF-8?B?YWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWE=?=\r\n"
       " =?UTF-8?B?w6k=?="},
      {euro20,
       "=?UTF-8?B?4oKs4oKs4oKs4oKs4oKs4oKs4oKs4oKs4oKs4oKs4oKs4oKs4oKs4oKs4oKs?=\r\n"
       " =?UTF-8?B?4oKs4oKs4oKs4oKs4oKs?="},
      {grin12,
       "=?UTF-8?B?8J+YgPCfmIDwn5iA8J+YgPCfmIDwn5iA8J+YgPCfmIDwn5iA8J+YgPCfmIA=?=\r\n"
       " =?UTF-8?B?8J+YgA==?="},
      // Only continuation bytes: no boundary to move back to, the piece keeps 45 bytes.
      {std::string(50, '\x80'),
       "=?UTF-8?B?gICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgICA?=\r\n"
       " =?UTF-8?B?gICAgIA=?="},
  };
  MailSettings s = make_settings({"ops@example.org"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.subject.substr(0, 60));
    Composed m = compose(s, c.subject, "b");
    ASSERT_GT(m.rc, 0);
    size_t p = m.text.find("\r\nSubject: ");
    size_t e = m.text.find("\r\nMessage-ID: ");
    ASSERT_NE(p, std::string::npos);
    ASSERT_NE(e, std::string::npos);
    EXPECT_EQ(m.text.substr(p + 11, e - p - 11), c.want);
  }
}

TEST_F(MailCompose, RefusesLineBreakInSubject) {
  MailSettings s = make_settings({"ops@example.org"});
  for (const char* subject : {"a\rb", "a\nb", "\r\n", "end\n"}) {
    SCOPED_TRACE(subject);
    EXPECT_EQ(compose(s, subject, "b").rc, -1);
  }
}

TEST_F(MailCompose, BodyLineEndsEscapingAndLineLimit) {
  const std::string a990(990, 'a');
  struct Case {
    const char* name;
    std::string body;
    std::string text;
    std::string html;
  };
  const Case cases[] = {
      {"empty", "", "\r\n", "\r\n"},
      {"only CR", "\r", "\r\n", "\r\n"},
      {"bare LF", "one\ntwo\n", "one\r\ntwo\r\n", "one\r\ntwo\r\n"},
      {"CR LF kept single", "one\r\ntwo\r\n", "one\r\ntwo\r\n", "one\r\ntwo\r\n"},
      {"stray CR dropped", "a\rb\n", "ab\r\n", "ab\r\n"},
      {"no final line break", "last", "last\r\n", "last\r\n"},
      {"empty lines", "\n\n", "\r\n\r\n", "\r\n\r\n"},
      {"specials", "a<b>&c \"q\" 'r'\n", "a<b>&c \"q\" 'r'\r\n", "a&lt;b&gt;&amp;c \"q\" 'r'\r\n"},
      {"limit", a990 + "\n", a990 + "\r\n", a990 + "\r\n"},
      {"limit plus one", a990 + "b", a990 + "\r\nb\r\n", a990 + "\r\nb\r\n"},
      {"2000 bytes", std::string(2000, 'z'),
       std::string(990, 'z') + "\r\n" + std::string(990, 'z') + "\r\n" + std::string(20, 'z') +
           "\r\n",
       std::string(990, 'z') + "\r\n" + std::string(990, 'z') + "\r\n" + std::string(20, 'z') +
           "\r\n"},
      // An entity counts with its full length and is never split.
      {"entity at the limit", std::string(985, 'a') + "&", std::string(985, 'a') + "&\r\n",
       std::string(985, 'a') + "&amp;\r\n"},
      {"entity past the limit", std::string(986, 'a') + "&<", std::string(986, 'a') + "&<\r\n",
       std::string(986, 'a') + "\r\n&amp;&lt;\r\n"},
      // A UTF-8 character is never split by an inserted line break.
      {"character at the limit", std::string(988, 'a') + "\xC3\xA9" + "b",
       std::string(988, 'a') + "\xC3\xA9\r\nb\r\n", std::string(988, 'a') + "\xC3\xA9\r\nb\r\n"},
      {"character past the limit", std::string(989, 'a') + "\xE2\x82\xAC",
       std::string(989, 'a') + "\r\n\xE2\x82\xAC\r\n",
       std::string(989, 'a') + "\r\n\xE2\x82\xAC\r\n"},
      // Stray continuation bytes have no character boundary: cut at the limit.
      {"stray continuation bytes", std::string(1000, '\x80'),
       std::string(990, '\x80') + "\r\n" + std::string(10, '\x80') + "\r\n",
       std::string(990, '\x80') + "\r\n" + std::string(10, '\x80') + "\r\n"},
      {"line break resets the count", std::string(989, 'a') + "\n" + a990,
       std::string(989, 'a') + "\r\n" + a990 + "\r\n",
       std::string(989, 'a') + "\r\n" + a990 + "\r\n"},
  };
  MailSettings s = make_settings({"ops@example.org"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Composed m = compose(s, "s", c.body);
    ASSERT_GT(m.rc, 0);
    Parts p = parts_of(m.text);
    EXPECT_EQ(p.text, c.text);
    EXPECT_EQ(p.html, c.html);
    EXPECT_LE(longest_line(m.text), kMailLineMax);
  }
}

TEST_F(MailCompose, BoundaryAvoidsBodyText) {
  MailSettings s = make_settings({"ops@example.org"});
  std::string prefix = "=_arvenna_1700000000_" + std::to_string(getpid()) + "_";
  struct Case {
    const char* name;
    std::vector<std::string> attempts_in_body;  // as "<text>{C}<text>"
    unsigned want_attempt;
  };
  const Case cases[] = {
      {"clean body", {}, 0},
      {"first boundary in the body", {"x {B}_0 y"}, 1},
      {"first two in the body", {"{B}_0\n", "--{B}_1--\n"}, 2},
      // The text parts drop CR, so a CR inside a boundary-like text still counts.
      {"joined by a dropped CR", {"=_arv\renna_1700000000_{P}_{C}_0"}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The next message takes the next counter value.
    unsigned next = message_counter(compose(s, "probe", "b").text) + 1;
    std::string body;
    for (std::string piece : c.attempts_in_body) {
      replace_all(piece, "{B}", prefix + std::to_string(next));
      replace_all(piece, "{P}", std::to_string(getpid()));
      replace_all(piece, "{C}", std::to_string(next));
      body += piece;
    }
    Composed m = compose(s, "s", body);
    ASSERT_EQ(message_counter(m.text), next);
    EXPECT_EQ(boundary_of(m.text),
              prefix + std::to_string(next) + "_" + std::to_string(c.want_attempt));
  }
}

TEST_F(MailCompose, LargestBodyFitsWithinTheMessageLimit) {
  MailSettings s = make_settings({"ops@example.org"});
  std::string body(kMailBodyMax, '&');
  Composed m = compose(s, std::string(kMailSubjectMax, 'x'), body);
  ASSERT_GT(m.rc, 0);
  EXPECT_LE(m.text.size(), kMailMessageSize);
  EXPECT_LE(longest_line(m.text), kMailLineMax);
  Parts p = parts_of(m.text);
  EXPECT_EQ(p.text.size(), body.size() + 2 * (body.size() / kMailLineMax + 1));
  // 198 entities of five bytes fill each HTML line exactly.
  EXPECT_EQ(p.html.substr(0, 992), [] {
    std::string line;
    for (int i = 0; i < 198; ++i) {
      line += "&amp;";
    }
    return line + "\r\n";
  }());
}

}  // namespace
}  // namespace vrk
