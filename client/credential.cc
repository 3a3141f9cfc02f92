#include "client/credential.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>

#include <openssl/crypto.h>

#include "common/error.h"
#include "common/fd.h"
#include "common/fs.h"
#include "common/scope_exit.h"
#include "common/secret_text.h"
#include "common/text.h"

namespace vrk {
namespace {

constexpr size_t kNameMax = kTokenNameSize - 1;
constexpr size_t kSecretLength = kTokenSecretSize - 1;

bool token_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

bool token_word(std::string_view s, size_t min, size_t max) {
  if (s.size() < min || s.size() > max) {
    return false;
  }
  for (char c : s) {
    if (!token_char(c)) {
      return false;
    }
  }
  return true;
}

// Splits line at white space into at most 5 words; returns how many were found.
size_t split_words(std::string_view line, std::string_view (&words)[5]) {
  size_t n = 0;
  size_t pos = 0;
  while (n < 5) {
    while (pos < line.size() && text_is_space(line[pos])) {
      ++pos;
    }
    if (pos == line.size()) {
      break;
    }
    size_t end = pos;
    while (end < line.size() && !text_is_space(line[end])) {
      ++end;
    }
    words[n++] = line.substr(pos, end - pos);
    pos = end;
  }
  return n;
}

bool created_valid(std::string_view s) {
  int64_t v = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  return ec == std::errc() && ptr == s.data() + s.size();
}

// One credential line (trimmed, not empty, no comment) into name and secret views.
int parse_line(std::string_view line, const char* path, int number, std::string_view& name,
               std::string_view& secret, std::span<char> err) {
  std::string_view words[5];
  size_t n = split_words(line, words);
  if (n == 1 && words[0].find('.') != std::string_view::npos) {
    size_t dot = words[0].find('.');
    name = words[0].substr(0, dot);
    secret = words[0].substr(dot + 1);
  } else if (n == 4 && (words[1] == "read" || words[1] == "admin") && created_valid(words[2])) {
    name = words[0];
    secret = words[3];
  } else {
    err_set(err, "%s:%d: expected '<name>.<secret>' or '<name> <role> <created> <secret>'", path,
            number);
    return -1;
  }
  if (!token_word(name, 1, kNameMax)) {
    err_set(err, "%s:%d: invalid token name", path, number);
    return -1;
  }
  if (!token_word(secret, kSecretLength, kSecretLength)) {
    err_set(err, "%s:%d: malformed secret", path, number);
    return -1;
  }
  return 0;
}

}  // namespace

int credential_parse(std::string_view text, const char* path, ClientToken& token,
                     std::span<char> err) {
  err_set(err, "%s", "");
  secret_wipe(token);
  std::string_view name, secret;
  int found_line = 0;
  int number = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) {
      end = text.size();
    }
    std::string_view line = text_trim(text.substr(pos, end - pos));
    pos = end + 1;
    ++number;
    if (line.empty() || line[0] == '#') {
      continue;
    }
    if (found_line != 0) {
      err_set(err, "%s:%d: more than one token", path, number);
      return -1;
    }
    if (parse_line(line, path, number, name, secret, err) != 0) {
      return -1;
    }
    found_line = number;
  }
  if (found_line == 0) {
    err_set(err, "%s: no token in the file", path);
    return -1;
  }
  // Both fit: their lengths were checked against the same sizes.
  memcpy(token.name, name.data(), name.size());
  memcpy(token.secret, secret.data(), secret.size());
  return 0;
}

int credential_load(const char* path, ClientToken& token, std::span<char> err) {
  err_set(err, "%s", "");
  secret_wipe(token);
  UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) {
    err_set(err, "cannot read %s: %s", path, strerror(errno));
    return -1;
  }
  if (fs_private_file_check(fd.get(), path, err) != 0) {
    return -1;
  }
  char buf[kCredentialFileMax + 1];
  ScopeExit wipe([&buf] { OPENSSL_cleanse(buf, sizeof buf); });
  size_t have = 0;
  while (have < sizeof buf) {
    ssize_t n = read(fd.get(), buf + have, sizeof buf - have);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      err_set(err, "cannot read %s: %s", path, strerror(errno));
      return -1;
    }
    if (n == 0) {
      break;
    }
    have += static_cast<size_t>(n);
  }
  if (have > kCredentialFileMax) {
    err_set(err, "%s is larger than %zu bytes", path, kCredentialFileMax);
    return -1;
  }
  return credential_parse(std::string_view(buf, have), path, token, err);
}

}  // namespace vrk
