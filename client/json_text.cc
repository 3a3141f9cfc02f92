#include "client/json_text.h"

#include <stdio.h>

#include "common/text.h"

namespace vrk {
namespace {

size_t skip_space(std::string_view s, size_t pos) {
  while (pos < s.size() && text_is_space(s[pos])) {
    ++pos;
  }
  return pos;
}

// Position after the string that starts with the quote at pos.
size_t skip_string(std::string_view s, size_t pos) {
  for (++pos; pos < s.size(); ++pos) {
    if (s[pos] == '\\') {
      ++pos;
    } else if (s[pos] == '"') {
      return pos + 1;
    }
  }
  return s.size();
}

// Position after the value that starts at pos (no leading white space).
size_t skip_value(std::string_view s, size_t pos) {
  if (pos >= s.size()) {
    return pos;
  }
  if (s[pos] == '"') {
    return skip_string(s, pos);
  }
  if (s[pos] == '{' || s[pos] == '[') {
    int depth = 0;
    while (pos < s.size()) {
      char c = s[pos];
      if (c == '"') {
        pos = skip_string(s, pos);
        continue;
      }
      ++pos;
      if (c == '{' || c == '[') {
        ++depth;
      } else if ((c == '}' || c == ']') && --depth == 0) {
        return pos;
      }
    }
    return pos;
  }
  while (pos < s.size() && s[pos] != ',' && s[pos] != '}' && s[pos] != ']' &&
         !text_is_space(s[pos])) {
    ++pos;
  }
  return pos;
}

void newline(std::string& out, int depth) {
  out += '\n';
  out.append(static_cast<size_t>(2 * depth), ' ');
}

}  // namespace

void json_text_pretty(std::string_view raw, std::string& out) {
  out.clear();
  int depth = 0;
  size_t pos = 0;
  while ((pos = skip_space(raw, pos)) < raw.size()) {
    char c = raw[pos];
    if (c == '"') {
      size_t end = skip_string(raw, pos);
      out.append(raw.substr(pos, end - pos));
      pos = end;
      continue;
    }
    ++pos;
    if (c == '{' || c == '[') {
      size_t next = skip_space(raw, pos);
      if (next < raw.size() && raw[next] == (c == '{' ? '}' : ']')) {
        out += c;
        out += raw[next];
        pos = next + 1;
      } else {
        out += c;
        newline(out, ++depth);
      }
    } else if (c == '}' || c == ']') {
      newline(out, --depth);
      out += c;
    } else if (c == ',') {
      out += c;
      newline(out, depth);
    } else if (c == ':') {
      out += ": ";
    } else {
      out += c;
    }
  }
  out += '\n';
}

bool json_text_member(std::string_view raw, std::string_view key, std::string_view& value) {
  size_t pos = skip_space(raw, 0);
  if (pos >= raw.size() || raw[pos] != '{') {
    return false;
  }
  ++pos;
  while ((pos = skip_space(raw, pos)) < raw.size() && raw[pos] == '"') {
    size_t name_end = skip_string(raw, pos);
    std::string_view name = raw.substr(pos + 1, name_end - pos - 2);
    pos = skip_space(raw, name_end) + 1;  // past ':'
    pos = skip_space(raw, pos);
    size_t end = skip_value(raw, pos);
    if (name == key) {
      value = raw.substr(pos, end - pos);
      return true;
    }
    pos = skip_space(raw, end);
    if (pos < raw.size() && raw[pos] == ',') {
      ++pos;
    }
  }
  return false;
}

bool json_text_items(std::string_view raw, std::vector<std::string_view>& items) {
  items.clear();
  size_t pos = skip_space(raw, 0);
  if (pos >= raw.size() || raw[pos] != '[') {
    return false;
  }
  ++pos;
  while ((pos = skip_space(raw, pos)) < raw.size() && raw[pos] != ']') {
    size_t end = skip_value(raw, pos);
    items.push_back(raw.substr(pos, end - pos));
    pos = skip_space(raw, end);
    if (pos < raw.size() && raw[pos] == ',') {
      ++pos;
    }
  }
  return true;
}

void json_text_prepend_member(std::string_view raw, std::string_view key, std::string_view text,
                              std::string& out) {
  size_t brace = skip_space(raw, 0);
  size_t next = skip_space(raw, brace + 1);
  out.assign(1, '{');
  json_text_quote(key, out);
  out += ':';
  json_text_quote(text, out);
  if (next < raw.size() && raw[next] != '}') {
    out += ',';
  }
  out.append(raw.substr(brace + 1));
}

void json_text_quote(std::string_view text, std::string& out) {
  out += '"';
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\u%04x", u);
      out += esc;
    } else {
      out += c;
    }
  }
  out += '"';
}

}  // namespace vrk
