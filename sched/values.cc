#include "sched/values.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include "common/error.h"
#include "common/fd.h"
#include "common/scope_exit.h"

namespace vrk {

namespace {

inline constexpr size_t kSecretMax = kSecretSize - 1;
// Only the start of a secret file is read: enough for a 64-byte secret with its line end and
// trailing blanks; anything after it is never looked at.
inline constexpr size_t kSecretFileReadMax = 127;

bool values_equal_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
    if (c != b[i]) {
      return false;
    }
  }
  return true;
}

bool values_is_trailing_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Copies 1..64 secret bytes into out, zero-filled beyond. A NUL inside would silently shorten
// the secret wherever it is used as text, so it is refused.
int values_secret_store(std::string_view secret, std::span<char> out) {
  if (secret.empty() || secret.size() > kSecretMax || secret.find('\0') != std::string_view::npos) {
    return kErrInvalid;
  }
  memcpy(out.data(), secret.data(), secret.size());
  return 0;
}

int values_secret_from_file(std::string_view path, std::span<char> out) {
  char path_buf[PATH_MAX];
  if (path.size() >= sizeof(path_buf) || path.find('\0') != std::string_view::npos) {
    return kErrNotFound;
  }
  memcpy(path_buf, path.data(), path.size());
  path_buf[path.size()] = '\0';

  // O_NONBLOCK: a FIFO named by mistake must not hang the loader.
  UniqueFd fd(open(path_buf, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) {
    return kErrNotFound;
  }
  char buf[kSecretFileReadMax + 1];
  ScopeExit wipe([&buf] { OPENSSL_cleanse(buf, sizeof(buf)); });
  size_t len = 0;
  while (len < kSecretFileReadMax) {
    ssize_t n = read(fd.get(), buf + len, kSecretFileReadMax - len);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return kErrIo;
    }
    if (n == 0) {
      break;
    }
    len += static_cast<size_t>(n);
  }
  while (len > 0 && values_is_trailing_blank(buf[len - 1])) {
    --len;
  }
  return values_secret_store(std::string_view(buf, len), out);
}

}  // namespace

int parse_yes_no(std::string_view text, int& flag) {
  if (text == "1" || values_equal_nocase(text, "yes") || values_equal_nocase(text, "true")) {
    flag = 1;
    return 0;
  }
  if (text == "0" || values_equal_nocase(text, "no") || values_equal_nocase(text, "false")) {
    flag = 0;
    return 0;
  }
  return -1;
}

int retention_parse(std::string_view text, RetentionValue* out) {
  if (text == "forever") {
    if (out != nullptr) {
      *out = RetentionValue{0, RetentionUnit::kForever};
    }
    return 0;
  }
  // <count><unit>: count starts with 1..9 and is capped while read, unit one of d w m y.
  constexpr uint32_t kCountCap = 100000;
  if (text.size() < 2 || text[0] < '1' || text[0] > '9') {
    return -1;
  }
  uint32_t count = 0;
  size_t i = 0;
  for (; i + 1 < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') {
      return -1;
    }
    count = count * 10 + static_cast<uint32_t>(c - '0');
    if (count > kCountCap) {
      return -1;
    }
  }
  RetentionUnit unit;
  uint32_t limit;
  switch (text[i]) {
    case 'd':
      unit = RetentionUnit::kDays;
      limit = 36500;
      break;
    case 'w':
      unit = RetentionUnit::kWeeks;
      limit = 5200;
      break;
    case 'm':
      unit = RetentionUnit::kMonths;
      limit = 1200;
      break;
    case 'y':
      unit = RetentionUnit::kYears;
      limit = 100;
      break;
    default:
      return -1;
  }
  if (count > limit) {
    return -1;
  }
  if (out != nullptr) {
    *out = RetentionValue{count, unit};
  }
  return 0;
}

bool retention_class_valid(std::string_view text) {
  if (text.size() > static_cast<size_t>(kRetentionClassMax)) {
    return false;
  }
  for (char c : text) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    if (!ok) {
      return false;
    }
  }
  return true;
}

int secret_ref_parse(std::string_view text, SecretRef& ref, std::span<char> err) {
  if (!err.empty()) {
    err[0] = '\0';
  }
  constexpr std::string_view kFilePrefix = "file:";
  constexpr std::string_view kKmsPrefix = "kms:";
  SecretRef parsed;
  if (text.empty()) {
    err_set(err, "empty secret value");
    return -1;
  }
  if (text.starts_with(kFilePrefix)) {
    parsed.kind = SecretKind::kFile;
    parsed.rest = text.substr(kFilePrefix.size());
    if (parsed.rest.empty()) {
      err_set(err, "file: needs a path");
      return -1;
    }
  } else if (text.starts_with(kKmsPrefix)) {
    parsed.kind = SecretKind::kKms;
    parsed.rest = text.substr(kKmsPrefix.size());
    if (parsed.rest.empty()) {
      err_set(err, "kms: needs a url");
      return -1;
    }
  } else {
    parsed.kind = SecretKind::kLiteral;
    parsed.rest = text;
  }
  ref = parsed;
  return 0;
}

int secret_resolve(const SecretRef& ref, std::span<char> out) {
  if (out.size() < static_cast<size_t>(kSecretSize)) {
    return kErrInvalid;
  }
  OPENSSL_cleanse(out.data(), out.size());
  int rc = kErrInvalid;
  switch (ref.kind) {
    case SecretKind::kLiteral:
      rc = values_secret_store(ref.rest, out);
      break;
    case SecretKind::kFile:
      rc = values_secret_from_file(ref.rest, out);
      break;
    case SecretKind::kKms:
      rc = kErrNotSupported;
      break;
  }
  if (rc != 0) {
    OPENSSL_cleanse(out.data(), out.size());
  }
  return rc;
}

}  // namespace vrk
