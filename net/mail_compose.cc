#include "net/mail_compose.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <new>
#include <string>

#include <openssl/evp.h>

#include "common/text.h"

namespace vrk {

namespace {

// Process-wide, so that two messages of one second never share a Message-ID or a boundary.
uint32_t g_message_counter = 0;

// Encoded words carry at most this many subject bytes each (60 Base64 characters).
constexpr size_t kSubjectPieceMax = 45;
constexpr size_t kSubjectPlainMax = 900;

constexpr char kHtmlOpening[] =
    "<!DOCTYPE html>\r\n"
    "<html><head><meta charset=\"UTF-8\"></head><body>\r\n"
    "<pre style=\"font-family: Consolas, 'Courier New', monospace; font-size: 10pt;\">\r\n";
static_assert(sizeof(kHtmlOpening) - 1 == 147);
constexpr char kHtmlClosing[] = "</pre>\r\n</body></html>\r\n";

// Day and month names of the POSIX locale, written here so that no locale setting can change
// the Date header.
constexpr const char* kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// A writer on the caller's buffer that fails instead of overflowing; after the first failure
// it writes nothing more, so the caller checks once at the end.
struct Out {
  char* p = nullptr;
  size_t cap = 0;
  size_t len = 0;
  bool ok = true;

  void put(std::string_view s) {
    if (!ok || s.size() > cap - len) {
      ok = false;
      return;
    }
    memcpy(p + len, s.data(), s.size());
    len += s.size();
  }
};

// Formats into a local buffer first, so a line that exactly fills the caller's buffer still fits
// (snprintf would need room for its NUL).
[[gnu::format(printf, 2, 3)]] void put_format(Out& o, const char* fmt, ...) {
  char line[512];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(line, sizeof(line), fmt, ap);
  va_end(ap);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(line)) {
    o.ok = false;
    return;
  }
  o.put(std::string_view(line, static_cast<size_t>(n)));
}

bool is_continuation(unsigned char b) {
  return b >= 0x80 && b <= 0xBF;
}

// Bytes that end a run of plainly copied body text: line ends, the HTML specials and every
// non-ASCII byte (which starts a character of possibly several bytes).
constexpr std::array<bool, 256> kBodyStops = [] {
  std::array<bool, 256> t{};
  for (int i = 0x80; i < 256; ++i) {
    t[i] = true;
  }
  t['\r'] = t['\n'] = t['<'] = t['>'] = t['&'] = true;
  return t;
}();

// Length of the character starting at body[i]: its lead byte's sequence length, but never past
// the end of the body or past a byte that cannot continue it.
size_t char_length(std::string_view body, size_t i) {
  size_t want = utf8_sequence_length(static_cast<unsigned char>(body[i]));
  size_t n = 1;
  while (n < want && i + n < body.size() &&
         is_continuation(static_cast<unsigned char>(body[i + n]))) {
    ++n;
  }
  return n;
}

// The body as one part: CR dropped, LF as CR LF, "<" ">" "&" as entities in HTML, and a line
// break inserted before any character or entity that would make a line longer than
// kMailLineMax bytes. Characters are never split, so UTF-8 text stays valid.
void put_body(Out& o, std::string_view body, bool html) {
  size_t line = 0;
  bool wrote = false;
  size_t i = 0;
  while (i < body.size() && o.ok) {
    unsigned char c = static_cast<unsigned char>(body[i]);
    if (!kBodyStops[c]) {
      size_t j = i + 1;
      while (j < body.size() && !kBodyStops[static_cast<unsigned char>(body[j])]) {
        ++j;
      }
      // Copy the run in pieces that fill each line up to the limit.
      while (i < j) {
        if (line == kMailLineMax) {
          o.put("\r\n");
          line = 0;
        }
        size_t n = j - i < kMailLineMax - line ? j - i : kMailLineMax - line;
        o.put(body.substr(i, n));
        line += n;
        i += n;
      }
      wrote = true;
      continue;
    }
    if (c == '\r') {
      ++i;
      continue;
    }
    if (c == '\n') {
      o.put("\r\n");
      line = 0;
      wrote = true;
      ++i;
      continue;
    }
    std::string_view piece;
    size_t used = 1;
    if (html && c == '<') {
      piece = "&lt;";
    } else if (html && c == '>') {
      piece = "&gt;";
    } else if (html && c == '&') {
      piece = "&amp;";
    } else {
      used = char_length(body, i);
      piece = body.substr(i, used);
    }
    if (line + piece.size() > kMailLineMax) {
      o.put("\r\n");
      line = 0;
    }
    o.put(piece);
    line += piece.size();
    wrote = true;
    i += used;
  }
  if (line > 0 || !wrote) {
    o.put("\r\n");
  }
}

void put_subject(Out& o, std::string_view subject) {
  bool plain = subject.size() <= kSubjectPlainMax;
  for (size_t i = 0; plain && i < subject.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(subject[i]);
    plain = c >= 0x20 && c <= 0x7E;
  }
  if (plain) {
    o.put(subject);
    return;
  }
  size_t pos = 0;
  while (pos < subject.size()) {
    size_t len = subject.size() - pos < kSubjectPieceMax ? subject.size() - pos : kSubjectPieceMax;
    if (pos + len < subject.size()) {
      // Move the cut back so that the next piece starts a character; a piece made only of
      // continuation bytes keeps its full length.
      size_t end = pos + len;
      while (end > pos && is_continuation(static_cast<unsigned char>(subject[end]))) {
        --end;
      }
      if (end > pos) {
        len = end - pos;
      }
    }
    unsigned char b64[4 * ((kSubjectPieceMax + 2) / 3) + 1];
    int n = EVP_EncodeBlock(b64, reinterpret_cast<const unsigned char*>(subject.data() + pos),
                            static_cast<int>(len));
    if (pos > 0) {
      o.put("\r\n ");
    }
    o.put("=?UTF-8?B?");
    o.put(std::string_view(reinterpret_cast<const char*>(b64), static_cast<size_t>(n)));
    o.put("?=");
    pos += len;
  }
}

void put_date(Out& o, int64_t now) {
  time_t t = static_cast<time_t>(now);
  struct tm tm = {};
  if (localtime_r(&t, &tm) == nullptr || tm.tm_wday < 0 || tm.tm_wday > 6 || tm.tm_mon < 0 ||
      tm.tm_mon > 11) {
    o.ok = false;
    return;
  }
  long off = tm.tm_gmtoff;
  char sign = off < 0 ? '-' : '+';
  if (off < 0) {
    off = -off;
  }
  put_format(o, "Date: %s, %02d %s %d %02d:%02d:%02d %c%02ld%02ld\r\n", kDayNames[tm.tm_wday],
             tm.tm_mday, kMonthNames[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
             tm.tm_sec, sign, off / 3600, off % 3600 / 60);
}

// The body as the boundary check sees it: the text parts drop every CR, so a CR inside a
// boundary-like text would otherwise join it into a real boundary line.
std::string_view body_without_cr(std::string_view body, std::string& scratch) {
  if (body.find('\r') == std::string_view::npos) {
    return body;
  }
  scratch.clear();
  scratch.reserve(body.size());
  for (char c : body) {
    if (c != '\r') {
      scratch.push_back(c);
    }
  }
  return scratch;
}

}  // namespace

long mail_compose(const MailSettings& settings, std::string_view subject, std::string_view body,
                  int64_t now, const char* host_name, std::span<char> out) {
  if (subject.find_first_of("\r\n") != std::string_view::npos) {
    return -1;
  }
  std::string scratch;
  std::string_view plain_body;
  try {
    plain_body = body_without_cr(body, scratch);
  } catch (const std::bad_alloc&) {
    return -1;
  }

  Out o{out.data(), out.size()};
  put_date(o, now);
  put_format(o, "From: %s\r\n", settings.from);
  o.put("To: ");
  int count = settings.recipient_count;
  count = count < 0 ? 0 : (count > kMailMaxRecipients ? kMailMaxRecipients : count);
  for (int i = 0; i < count; ++i) {
    if (i > 0) {
      o.put(",\r\n ");
    }
    o.put(text_view(settings.recipients[i]));
  }
  o.put("\r\nSubject: ");
  put_subject(o, subject);

  uint32_t counter = ++g_message_counter;
  long long when = static_cast<long long>(now);
  int pid = static_cast<int>(getpid());
  put_format(o, "\r\nMessage-ID: <%lld.%d.%u@%s>\r\n", when, pid, counter, host_name);

  char boundary[96];
  uint32_t attempt = 0;
  for (;;) {
    snprintf(boundary, sizeof(boundary), "=_arvenna_%lld_%d_%u_%u", when, pid, counter, attempt);
    if (plain_body.find(boundary) == std::string_view::npos) {
      break;
    }
    ++attempt;
  }

  put_format(o,
             "MIME-Version: 1.0\r\nContent-Type: multipart/alternative; "
             "boundary=\"%s\"\r\n\r\n",
             boundary);
  put_format(o,
             "--%s\r\nContent-Type: text/plain; charset=UTF-8\r\n"
             "Content-Transfer-Encoding: 8bit\r\n\r\n",
             boundary);
  put_body(o, body, false);
  put_format(o,
             "--%s\r\nContent-Type: text/html; charset=UTF-8\r\n"
             "Content-Transfer-Encoding: 8bit\r\n\r\n",
             boundary);
  o.put(kHtmlOpening);
  put_body(o, body, true);
  o.put(kHtmlClosing);
  put_format(o, "--%s--\r\n", boundary);

  if (!o.ok) {
    if (!out.empty()) {
      out[0] = '\0';
    }
    return -1;
  }
  return static_cast<long>(o.len);
}

}  // namespace vrk
