#include "net/mail_compose.h"

#include <emmintrin.h>
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

// Bytes that end a run of plainly copied body text: line ends, and in HTML the three bytes
// written as entities.
constexpr std::array<bool, 256> body_stops(bool html) {
  std::array<bool, 256> t{};
  t['\r'] = t['\n'] = true;
  if (html) {
    t['<'] = t['>'] = t['&'] = true;
  }
  return t;
}
constexpr std::array<bool, 256> kTextStops = body_stops(false);
constexpr std::array<bool, 256> kHtmlStops = body_stops(true);

// Index of the first stop byte in s[i..n), or n. Sixteen bytes at a time with SSE2 (always
// present on x86-64): scanning is most of the time a message costs.
size_t find_stop(const unsigned char* s, size_t i, size_t n, bool html,
                 const std::array<bool, 256>& stops) {
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i lt = _mm_set1_epi8('<');
  const __m128i gt = _mm_set1_epi8('>');
  const __m128i amp = _mm_set1_epi8('&');
  while (n - i >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    __m128i m = _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf));
    if (html) {
      m = _mm_or_si128(m,
                       _mm_or_si128(_mm_cmpeq_epi8(v, lt),
                                    _mm_or_si128(_mm_cmpeq_epi8(v, gt), _mm_cmpeq_epi8(v, amp))));
    }
    int bits = _mm_movemask_epi8(m);
    if (bits != 0) {
      return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(bits)));
    }
    i += 16;
  }
  while (i < n && !stops[s[i]]) {
    ++i;
  }
  return i;
}

// The body as one part: CR dropped, LF as CR LF, "<" ">" "&" as entities in HTML, and a line
// break inserted before any character or entity that would make a line longer than
// kMailLineMax bytes. A cut inside a run moves back over UTF-8 continuation bytes, so a
// character is never split (a run of stray continuation bytes is cut at the limit). Writes
// straight into the buffer: this loop is the cost of a message.
void put_body(Out& o, std::string_view body, bool html) {
  if (!o.ok) {
    return;
  }
  const auto* s = reinterpret_cast<const unsigned char*>(body.data());
  const size_t n = body.size();
  const std::array<bool, 256>& stops = html ? kHtmlStops : kTextStops;
  char* p = o.p + o.len;
  char* const end = o.p + o.cap;
  auto room = [&](size_t k) { return static_cast<size_t>(end - p) >= k; };
  auto put_crlf = [&] {
    p[0] = '\r';
    p[1] = '\n';
    p += 2;
  };
  size_t line = 0;
  bool wrote = false;
  size_t i = 0;
  while (i < n) {
    unsigned char c = s[i];
    if (c == '\r') {
      ++i;
      continue;
    }
    if (c == '\n') {
      if (!room(2)) {
        o.ok = false;
        return;
      }
      put_crlf();
      line = 0;
      wrote = true;
      ++i;
      continue;
    }
    if (stops[c]) {
      const char* entity = c == '<' ? "&lt;" : (c == '>' ? "&gt;" : "&amp;");
      size_t k = c == '&' ? 5 : 4;
      bool wrap = line + k > kMailLineMax;
      if (!room(k + (wrap ? 2 : 0))) {
        o.ok = false;
        return;
      }
      if (wrap) {
        put_crlf();
        line = 0;
      }
      memcpy(p, entity, k);
      p += k;
      line += k;
      wrote = true;
      ++i;
      continue;
    }
    size_t j = find_stop(s, i + 1, n, html, stops);
    wrote = true;
    while (i < j) {
      size_t k = j - i;
      size_t free_in_line = kMailLineMax - line;
      if (k > free_in_line) {
        size_t cut = free_in_line;
        while (cut > 0 && is_continuation(s[i + cut])) {
          --cut;
        }
        k = cut > 0 || line > 0 ? cut : free_in_line;
      }
      if (!room(k)) {
        o.ok = false;
        return;
      }
      memcpy(p, s + i, k);
      p += k;
      line += k;
      i += k;
      if (i < j) {
        // The next character of the run does not fit this line.
        if (!room(2)) {
          o.ok = false;
          return;
        }
        put_crlf();
        line = 0;
      }
    }
  }
  if (line > 0 || !wrote) {
    if (!room(2)) {
      o.ok = false;
      return;
    }
    put_crlf();
  }
  o.len = static_cast<size_t>(p - o.p);
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
