#include "sched/api/tokens.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <memory>
#include <new>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "common/error.h"
#include "common/fd.h"
#include "common/fs.h"
#include "common/line_reader.h"
#include "common/scope_exit.h"
#include "common/secret_text.h"
#include "common/text.h"
#include "sched/config_load.h"

namespace vrk {
namespace {

// A line is read into a 512-byte buffer: at most 510 characters and the line feed, or 511
// characters on a last line without one.
inline constexpr size_t kTokenLineSize = 512;
inline constexpr size_t kLineMax = kTokenLineSize - 1;
inline constexpr size_t kReadBufferSize = 8192;
static_assert(kReadBufferSize > kLineMax);

// Widths of the line pattern "%127s %15s %lld %127s %1s".
inline constexpr size_t kNameWordMax = 127;
inline constexpr size_t kRoleWordMax = 15;
inline constexpr size_t kSecretWordMax = 127;
inline constexpr size_t kExtraWordMax = 1;
inline constexpr int kLineFields = 4;

inline constexpr size_t kSecretLength = kTokenSecretSize - 1;
inline constexpr size_t kNameLengthMax = kTokenNameSize - 1;
inline constexpr int kSecretRandomBytes = 32;

inline constexpr std::string_view kFileHeader =
    "# vrk_sched API tokens -- managed by 'vrk_sched api-token add|remove'. Keep this file "
    "root-only (0600).\n# <name> <role> <created-unix> <secret>\n";
static_assert(kFileHeader.size() == 144);

bool is_token_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

bool secret_valid(std::string_view s) {
  if (s.size() != kSecretLength) {
    return false;
  }
  for (char c : s) {
    if (!is_token_char(c)) {
      return false;
    }
  }
  return true;
}

// The fields of a line as the pattern "%127s %15s %lld %127s %1s" reads them: a word skips
// white space and takes at most its width of other characters (the rest of a longer word is
// what the next field reads); the number is an optional sign and decimal digits. A number out
// of the 64-bit range ends the reading like any other mismatch.
struct FieldReader {
  std::string_view s;
  size_t pos = 0;
};

void fields_skip_space(FieldReader& f) {
  while (f.pos < f.s.size() && text_is_space(f.s[f.pos])) {
    ++f.pos;
  }
}

bool fields_word(FieldReader& f, size_t width, std::string_view& word) {
  fields_skip_space(f);
  size_t start = f.pos;
  while (f.pos < f.s.size() && !text_is_space(f.s[f.pos]) && f.pos - start < width) {
    ++f.pos;
  }
  word = f.s.substr(start, f.pos - start);
  return !word.empty();
}

bool fields_i64(FieldReader& f, int64_t& value) {
  fields_skip_space(f);
  size_t start = f.pos;
  if (f.pos < f.s.size() && (f.s[f.pos] == '+' || f.s[f.pos] == '-')) {
    ++f.pos;
  }
  size_t digits = f.pos;
  while (f.pos < f.s.size() && f.s[f.pos] >= '0' && f.s[f.pos] <= '9') {
    ++f.pos;
  }
  if (f.pos == digits) {
    return false;
  }
  // from_chars takes a '-' but not a '+'.
  size_t from = f.s[start] == '+' ? start + 1 : start;
  const char* end = f.s.data() + f.pos;
  auto [ptr, ec] = std::from_chars(f.s.data() + from, end, value);
  return ec == std::errc() && ptr == end;
}

// One line of the file (with its line feed, if any); appends its token to table.
int token_line(std::string_view raw, const char* path, int line_no, TokenTable& table,
               std::span<char> err) {
  while (!raw.empty() && (raw.back() == '\n' || raw.back() == '\r')) {
    raw.remove_suffix(1);
  }
  ptrdiff_t len = config_scan_line(raw);
  if (len < 0) {
    err_set(err, "%s:%d: unterminated quote", path, line_no);
    return -1;
  }
  raw = raw.substr(0, static_cast<size_t>(len));
  if (text_trim(raw).empty()) {
    return 0;
  }
  FieldReader f{raw};
  std::string_view name;
  std::string_view role_word;
  int64_t created = 0;
  std::string_view secret;
  std::string_view extra;
  int fields = 0;
  if (fields_word(f, kNameWordMax, name)) {
    ++fields;
    if (fields_word(f, kRoleWordMax, role_word)) {
      ++fields;
      if (fields_i64(f, created)) {
        ++fields;
        if (fields_word(f, kSecretWordMax, secret)) {
          ++fields;
          if (fields_word(f, kExtraWordMax, extra)) {
            ++fields;
          }
        }
      }
    }
  }
  if (fields != kLineFields) {
    err_set(err, "%s:%d: expected '<name> <role> <created> <secret>'", path, line_no);
    return -1;
  }
  if (!token_name_valid(name)) {
    err_set(err, "%s:%d: invalid token name", path, line_no);
    return -1;
  }
  TokenRole role = TokenRole::kRead;
  if (role_parse(role_word, role) != 0) {
    err_set(err, "%s:%d: role must be read or admin", path, line_no);
    return -1;
  }
  if (!secret_valid(secret)) {
    err_set(err, "%s:%d: malformed secret", path, line_no);
    return -1;
  }
  if (token_find(table, name) != nullptr) {
    err_set(err, "%s:%d: duplicate token name '%.*s'", path, line_no, static_cast<int>(name.size()),
            name.data());
    return -1;
  }
  if (table.count >= kTokenTableMax) {
    err_set(err, "%s: too many tokens", path);
    return -1;
  }
  ApiToken entry;
  ScopeExit wipe_entry([&] { secret_wipe(entry); });
  // Both fit: their lengths were checked above.
  (void)text_copy(entry.name, name);
  entry.role = role;
  entry.created = created;
  (void)text_copy(entry.secret, secret);
  table.tokens[table.count++] = entry;
  return 0;
}

// Reads every line of r into table (already empty). On failure the table is left for the
// caller to wipe. Lines read from the file are wiped in its buffer once handled.
int token_lines(LineReader& r, const char* path, TokenTable& table, std::span<char> err) {
  for (int line_no = 1;; ++line_no) {
    std::string_view line;
    LineResult res = line_reader_next(r, line);
    if (res == LineResult::kEnd) {
      return 0;
    }
    if (res == LineResult::kTooLong) {
      err_set(err, "%s:%d: line too long", path, line_no);
      return -1;
    }
    if (res == LineResult::kReadError) {
      // Ending here like at the end of the file would load a part of the tokens.
      err_set(err, "cannot read %s", path);
      return -1;
    }
    int rc = token_line(line, path, line_no, table, err);
    if (r.fd >= 0) {
      OPENSSL_cleanse(const_cast<char*>(line.data()), line.size());
    }
    if (rc != 0) {
      return -1;
    }
  }
}

void stamp_from_stat(const struct stat& st, TokenFileStamp& stamp) {
  stamp.mtime_sec = st.st_mtim.tv_sec;
  stamp.mtime_nsec = st.st_mtim.tv_nsec;
  stamp.ctime_sec = st.st_ctim.tv_sec;
  stamp.ctime_nsec = st.st_ctim.tv_nsec;
  stamp.inode = st.st_ino;
  stamp.size = static_cast<uint64_t>(st.st_size);
}

// Writes all of data; false with errno set on failure.
bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int token_file_parse(std::string_view text, const char* path, TokenTable& table,
                     std::span<char> err) {
  err_set(err, "%s", "");
  secret_wipe(table);
  LineReader r;
  r.line_max = kLineMax;
  r.rest = text;
  if (token_lines(r, path, table, err) != 0) {
    secret_wipe(table);
    return -1;
  }
  return 0;
}

int token_file_load(const char* path, TokenTable& table, std::span<char> err) {
  err_set(err, "%s", "");
  secret_wipe(table);
  // Not following a link keeps a link planted beside the file from pointing the daemon at
  // another file; O_NONBLOCK keeps a FIFO in its place from blocking the open.
  UniqueFd fd(open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) {
    if (errno == ENOENT) {
      return 0;
    }
    err_set(err, "cannot read %s: %s", path, strerror(errno));
    return -1;
  }
  if (fs_private_file_check(fd.get(), path, err) != 0) {
    return -1;
  }
  std::unique_ptr<char[]> buf(new (std::nothrow) char[kReadBufferSize]);
  if (!buf) {
    err_set(err, "cannot read %s", path);
    return -1;
  }
  ScopeExit wipe_buf([&] { OPENSSL_cleanse(buf.get(), kReadBufferSize); });
  LineReader r;
  r.line_max = kLineMax;
  r.fd = fd.get();
  r.buf = buf.get();
  r.cap = kReadBufferSize;
  r.eof = false;
  if (token_lines(r, path, table, err) != 0) {
    secret_wipe(table);
    return -1;
  }
  return 0;
}

int token_file_load_stamped(const char* path, TokenTable& table, TokenFileStamp& stamp,
                            std::span<char> err) {
  // The status is taken first, the way a freshness check takes it: a change between the two
  // looks makes the next check differ and reload, so no change is ever missed.
  token_file_stamp(path, stamp);
  return token_file_load(path, table, err);
}

void token_file_stamp(const char* path, TokenFileStamp& stamp) {
  stamp = TokenFileStamp{};
  struct stat st;
  if (lstat(path, &st) == 0) {
    stamp_from_stat(st, stamp);
  }
}

bool token_file_stamp_same(const TokenFileStamp& a, const TokenFileStamp& b) {
  return a.mtime_sec == b.mtime_sec && a.mtime_nsec == b.mtime_nsec && a.ctime_sec == b.ctime_sec &&
         a.ctime_nsec == b.ctime_nsec && a.inode == b.inode && a.size == b.size;
}

int token_file_save(const char* path, const TokenTable& table, std::span<char> err) {
  err_set(err, "%s", "");
  char tmp[PATH_MAX];
  int n = snprintf(tmp, sizeof tmp, "%s.tmp.%d", path, static_cast<int>(getpid()));
  if (n < 0 || static_cast<size_t>(n) >= sizeof tmp) {
    err_set(err, "cannot write %s: %s", path, strerror(ENAMETOOLONG));
    return -1;
  }
  unlink(tmp);
  UniqueFd fd(open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.valid()) {
    err_set(err, "cannot write %s: %s", tmp, strerror(errno));
    return -1;
  }
  // The whole file is composed in one buffer of its largest size, wiped afterwards: it holds
  // every secret.
  std::unique_ptr<char[]> buf(new (std::nothrow) char[kTokenFileMaxBytes]);
  ScopeExit wipe_buf([&] {
    if (buf) {
      OPENSSL_cleanse(buf.get(), kTokenFileMaxBytes);
    }
  });
  size_t used = 0;
  if (!buf ||
      token_file_compose(table, std::span<char>(buf.get(), kTokenFileMaxBytes), used) != 0) {
    fd.reset();
    unlink(tmp);
    err_set(err, "cannot write %s", tmp);
    return -1;
  }
  bool ok = write_all(fd.get(), buf.get(), used) && fsync(fd.get()) == 0;
  if (ok) {
    // close is checked: some file systems report a failed write only here.
    ok = close(fd.release()) == 0;
  }
  if (ok) {
    ok = rename(tmp, path) == 0;
  }
  if (!ok) {
    int saved = errno;
    fd.reset();
    unlink(tmp);
    err_set(err, "cannot write %s: %s", path, strerror(saved));
    return -1;
  }
  return 0;
}

int token_file_compose(const TokenTable& table, std::span<char> out, size_t& used) {
  used = 0;
  if (table.count > kTokenTableMax || out.size() < kFileHeader.size()) {
    return -1;
  }
  memcpy(out.data(), kFileHeader.data(), kFileHeader.size());
  size_t n = kFileHeader.size();
  for (uint64_t i = 0; i < table.count; ++i) {
    const ApiToken& t = table.tokens[i];
    std::string_view name = text_view(t.name);
    std::string_view secret = text_view(t.secret);
    int w =
        snprintf(out.data() + n, out.size() - n, "%.*s %s %lld %.*s\n",
                 static_cast<int>(name.size()), name.data(), role_name(t.role),
                 static_cast<long long>(t.created), static_cast<int>(secret.size()), secret.data());
    if (w < 0 || static_cast<size_t>(w) >= out.size() - n) {
      return -1;
    }
    n += static_cast<size_t>(w);
  }
  used = n;
  return 0;
}

int token_generate_secret(char (&secret)[kTokenSecretSize]) {
  unsigned char raw[kSecretRandomBytes];
  // 4 * ceil(32 / 3) characters and the NUL that EVP_EncodeBlock writes.
  unsigned char b64[(kSecretRandomBytes + 2) / 3 * 4 + 1];
  ScopeExit wipe([&] {
    OPENSSL_cleanse(raw, sizeof raw);
    OPENSSL_cleanse(b64, sizeof b64);
  });
  if (RAND_bytes(raw, sizeof raw) != 1) {
    return -1;
  }
  int n = EVP_EncodeBlock(b64, raw, sizeof raw);
  // Base64 to base64url: two letters of the alphabet differ, and the padding goes.
  while (n > 0 && b64[n - 1] == '=') {
    --n;
  }
  if (n != static_cast<int>(kSecretLength)) {
    return -1;
  }
  for (int i = 0; i < n; ++i) {
    char c = static_cast<char>(b64[i]);
    secret[i] = c == '+' ? '-' : c == '/' ? '_' : c;
  }
  secret[n] = '\0';
  return 0;
}

bool token_name_valid(std::string_view name) {
  if (name.empty() || name.size() > kNameLengthMax) {
    return false;
  }
  for (char c : name) {
    if (!is_token_char(c)) {
      return false;
    }
  }
  return true;
}

const ApiToken* token_find(const TokenTable& table, std::string_view name) {
  uint64_t count = table.count < kTokenTableMax ? table.count : kTokenTableMax;
  for (uint64_t i = 0; i < count; ++i) {
    if (text_view(table.tokens[i].name) == name) {
      return &table.tokens[i];
    }
  }
  return nullptr;
}

int role_parse(std::string_view text, TokenRole& role) {
  if (text == "read") {
    role = TokenRole::kRead;
    return 0;
  }
  if (text == "admin") {
    role = TokenRole::kAdmin;
    return 0;
  }
  return -1;
}

const char* role_name(TokenRole role) {
  return role == TokenRole::kAdmin ? "admin" : "read";
}

}  // namespace vrk
