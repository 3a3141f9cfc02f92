#include "sched/ini_edit.h"

#include <string.h>

#include <new>
#include <vector>

#include <openssl/crypto.h>

#include "common/error.h"
#include "common/text.h"
#include "sched/config_load.h"

namespace vrk {
namespace {

inline constexpr size_t kLineTableStart = 64;
inline constexpr size_t kOutStart = 4096;
inline constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

enum class LineKind { kOther, kHeader, kKey };

// What the recognisers see in one line. raw includes the line's ending; name is the section
// name of a header or the key of a key line; value the trimmed (still quoted) value, a view
// into raw, so that what follows it on the line can be kept.
struct IniLine {
  std::string_view raw;
  LineKind kind = LineKind::kOther;
  std::string_view name;
  std::string_view value;
};

// The text cut after each line feed; the last line may lack one.
struct LineTable {
  std::vector<IniLine> lines;
};

std::string_view line_body(std::string_view raw) {
  while (!raw.empty() && (raw.back() == '\n' || raw.back() == '\r')) {
    raw.remove_suffix(1);
  }
  return raw;
}

// Recognises a line the way the loader reads it: comment cut by the shared scanner (a line
// with broken quoting is taken whole), trimmed. The loader skips a byte order mark in front of
// the first line, so the recognisers do too, or a file's first header would go unseen.
IniLine recognise(std::string_view raw, bool first) {
  IniLine l;
  l.raw = raw;
  std::string_view body = line_body(raw);
  if (first && body.starts_with(kUtf8Bom)) {
    body.remove_prefix(kUtf8Bom.size());
  }
  ptrdiff_t len = config_scan_line(body);
  std::string_view content = text_trim(len < 0 ? body : body.substr(0, static_cast<size_t>(len)));
  if (content.size() >= 2 && content.front() == '[' && content.back() == ']') {
    l.kind = LineKind::kHeader;
    l.name = text_trim(content.substr(1, content.size() - 2));
    return l;
  }
  size_t eq = content.find('=');
  if (content.empty() || content.front() == '[' || eq == std::string_view::npos) {
    return l;
  }
  std::string_view key = text_trim(content.substr(0, eq));
  if (key.size() > kIniKeyMax) {
    return l;
  }
  l.kind = LineKind::kKey;
  l.name = key;
  l.value = text_trim(content.substr(eq + 1));
  return l;
}

// Room for 64 lines, doubled when full. False when memory runs out.
bool line_table_build(std::string_view text, LineTable& t) {
  try {
    t.lines.reserve(kLineTableStart);
    size_t pos = 0;
    while (pos < text.size()) {
      size_t lf = text.find('\n', pos);
      size_t end = lf == std::string_view::npos ? text.size() : lf + 1;
      if (t.lines.size() == t.lines.capacity()) {
        t.lines.reserve(t.lines.capacity() * 2);
      }
      t.lines.push_back(recognise(text.substr(pos, end - pos), pos == 0));
      pos = end;
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// The output text: capacity 4096, doubled as needed; once an allocation fails, later appends
// do nothing. The text may hold a literal password, so a buffer left behind is wiped.
struct IniOut {
  std::string s;
  bool failed = false;
};

void out_append(IniOut& o, std::string_view t) {
  if (o.failed) {
    return;
  }
  try {
    if (o.s.size() + t.size() > o.s.capacity() || o.s.capacity() < kOutStart) {
      size_t cap = o.s.capacity() < kOutStart ? kOutStart : o.s.capacity();
      while (cap < o.s.size() + t.size()) {
        cap *= 2;
      }
      std::string bigger;
      bigger.reserve(cap);
      bigger.append(o.s);
      OPENSSL_cleanse(o.s.data(), o.s.size());
      o.s.swap(bigger);
    }
    o.s.append(t);
  } catch (const std::bad_alloc&) {
    OPENSSL_cleanse(o.s.data(), o.s.size());
    o.s.clear();
    o.failed = true;
  }
}

void out_append(IniOut& o, char c) {
  out_append(o, std::string_view(&c, 1));
}

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// The quoting rule: a value the line scanner would take for a quoted value or a comment is
// quoted; single quotes unless it holds one, else double quotes with \" and \\ escapes.
void out_value(IniOut& o, std::string_view v) {
  bool quote = !v.empty() && (v[0] == '"' || v[0] == '\'');
  for (size_t i = 0; i < v.size() && !quote; ++i) {
    quote = (v[i] == '#' || v[i] == ';') && (i == 0 || is_blank(v[i - 1]));
  }
  if (!quote) {
    out_append(o, v);
    return;
  }
  if (v.find('\'') == std::string_view::npos) {
    out_append(o, '\'');
    out_append(o, v);
    out_append(o, '\'');
    return;
  }
  out_append(o, '"');
  for (char c : v) {
    if (c == '"' || c == '\\') {
      out_append(o, '\\');
    }
    out_append(o, c);
  }
  out_append(o, '"');
}

void out_pair(IniOut& o, const SettingPair& p, std::string_view eol) {
  out_append(o, p.key);
  out_append(o, '=');
  out_value(o, p.value);
  out_append(o, eol);
}

// A key may not end the key part early (=), start a comment (# ;), look like a header, or
// hold white space; it must be something a key line can be recognised by again.
bool key_writable(std::string_view key) {
  return ini_value_writable(key) && key.size() <= kIniKeyMax &&
         key.find_first_of("=#;[] \t\r\n") == std::string_view::npos;
}

// New lines follow the file's own line ends: CRLF when its first line ends so.
std::string_view text_eol(std::string_view text) {
  size_t lf = text.find('\n');
  return lf != std::string_view::npos && lf > 0 && text[lf - 1] == '\r' ? "\r\n" : "\n";
}

// Unquotes as the loader does into out; false when the quoting is broken or out is too small.
bool unquote_into(std::string_view v, std::span<char> out) {
  size_t n = 0;
  auto put = [&](char c) {
    if (n + 1 >= out.size()) {
      return false;
    }
    out[n++] = c;
    return true;
  };
  if (v.empty() || (v[0] != '"' && v[0] != '\'')) {
    for (char c : v) {
      if (!put(c)) {
        return false;
      }
    }
  } else {
    char q = v[0];
    size_t i = 1;
    for (; i < v.size() && v[i] != q; ++i) {
      char c = v[i];
      if (q == '"' && c == '\\' && i + 1 < v.size() && (v[i + 1] == '"' || v[i + 1] == '\\')) {
        c = v[++i];
      }
      if (!put(c)) {
        return false;
      }
    }
    if (i + 1 != v.size()) {
      return false;
    }
  }
  if (out.empty()) {
    return false;
  }
  out[n] = '\0';
  return true;
}

int out_finish(IniOut& o, std::string& out) {
  if (o.failed) {
    return kErrNoMem;
  }
  out.swap(o.s);
  return 0;
}

}  // namespace

bool ini_value_writable(std::string_view v) {
  if (v.empty() || v.size() > kIniValueMax || text_is_space(v.front()) || text_is_space(v.back())) {
    return false;
  }
  for (char ch : v) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) {
      return false;
    }
  }
  return true;
}

bool ini_has_section(std::string_view text, std::string_view name) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t lf = text.find('\n', pos);
    size_t end = lf == std::string_view::npos ? text.size() : lf + 1;
    IniLine l = recognise(text.substr(pos, end - pos), pos == 0);
    if (l.kind == LineKind::kHeader && l.name == name) {
      return true;
    }
    pos = end;
  }
  return false;
}

bool ini_get_value(std::string_view text, std::string_view section, std::string_view key,
                   std::span<char> out) {
  if (!out.empty()) {
    out[0] = '\0';
  }
  bool inside = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t lf = text.find('\n', pos);
    size_t end = lf == std::string_view::npos ? text.size() : lf + 1;
    IniLine l = recognise(text.substr(pos, end - pos), pos == 0);
    pos = end;
    if (l.kind == LineKind::kHeader) {
      inside = l.name == section;
    } else if (inside && l.kind == LineKind::kKey && l.name == key) {
      if (unquote_into(l.value, out)) {
        return true;
      }
      OPENSSL_cleanse(out.data(), out.size());
    }
  }
  return false;
}

int ini_set_section(std::string_view text, std::string_view section,
                    std::span<const SettingPair> pairs, std::string& out) {
  out.clear();
  if (!ini_value_writable(section) || section.find_first_of("[]") != std::string_view::npos) {
    return kErrInvalid;
  }
  for (size_t i = 0; i < pairs.size(); ++i) {
    if (!key_writable(pairs[i].key) || !ini_value_writable(pairs[i].value)) {
      return kErrInvalid;
    }
    // A repeated key would be written twice, and the loader refuses a repeated setting.
    for (size_t j = 0; j < i; ++j) {
      if (pairs[j].key == pairs[i].key) {
        return kErrInvalid;
      }
    }
  }
  LineTable t;
  if (!line_table_build(text, t)) {
    return kErrNoMem;
  }
  const std::string_view eol = text_eol(text);
  IniOut o;
  // Unused pairs go after the last key line of the section's first occurrence (or its header).
  size_t insert_at = t.lines.size();
  bool inside = false;
  for (size_t i = 0; i < t.lines.size(); ++i) {
    const IniLine& l = t.lines[i];
    if (l.kind == LineKind::kHeader) {
      if (insert_at != t.lines.size()) {
        break;
      }
      inside = l.name == section;
      if (inside) {
        insert_at = i;
      }
    } else if (inside && l.kind == LineKind::kKey) {
      insert_at = i;
    }
  }
  if (insert_at == t.lines.size()) {
    out_append(o, text);
    if (!text.empty() && text.back() != '\n') {
      out_append(o, eol);
    }
    if (!text.empty()) {
      out_append(o, eol);
    }
    out_append(o, '[');
    out_append(o, section);
    out_append(o, ']');
    out_append(o, eol);
    for (const SettingPair& p : pairs) {
      out_pair(o, p, eol);
    }
    return out_finish(o, out);
  }
  std::vector<bool> used;
  try {
    used.assign(pairs.size(), false);
  } catch (const std::bad_alloc&) {
    return kErrNoMem;
  }
  inside = false;
  for (size_t i = 0; i < t.lines.size(); ++i) {
    const IniLine& l = t.lines[i];
    if (l.kind == LineKind::kHeader) {
      inside = l.name == section;
      out_append(o, l.raw);
    } else if (!inside || l.kind != LineKind::kKey) {
      out_append(o, l.raw);
    } else {
      size_t p = 0;
      while (p < pairs.size() && (used[p] || pairs[p].key != l.name)) {
        ++p;
      }
      if (p < pairs.size()) {
        // Key, '=', the new value, then what followed the old value (blanks, comment) and
        // the line's own ending.
        std::string_view body = line_body(l.raw);
        size_t value_end = static_cast<size_t>(l.value.data() + l.value.size() - l.raw.data());
        std::string_view ending = l.raw.substr(body.size());
        out_append(o, pairs[p].key);
        out_append(o, '=');
        out_value(o, pairs[p].value);
        // After a closing quote a comment may follow directly; after a bare value it would
        // become part of the value, so it gets the blank the scanner needs.
        std::string_view rest = body.substr(value_end);
        if (!rest.empty() && (rest[0] == '#' || rest[0] == ';')) {
          out_append(o, ' ');
        }
        out_append(o, rest);
        out_append(o, ending.empty() ? eol : ending);
        used[p] = true;
      }
    }
    if (i == insert_at) {
      for (size_t p = 0; p < pairs.size(); ++p) {
        if (used[p]) {
          continue;
        }
        if (!o.s.empty() && o.s.back() != '\n') {
          out_append(o, eol);
        }
        out_pair(o, pairs[p], eol);
        used[p] = true;
      }
    }
  }
  return out_finish(o, out);
}

int ini_remove_section(std::string_view text, std::string_view section, std::string& out) {
  out.clear();
  LineTable t;
  if (!line_table_build(text, t)) {
    return kErrNoMem;
  }
  IniOut o;
  bool inside = false;
  bool found = false;
  for (const IniLine& l : t.lines) {
    if (l.kind == LineKind::kHeader) {
      inside = l.name == section;
      found = found || inside;
    }
    if (!inside) {
      out_append(o, l.raw);
    }
  }
  if (!found) {
    return kErrNotFound;
  }
  return out_finish(o, out);
}

}  // namespace vrk
