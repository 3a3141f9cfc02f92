#include "sched/config_load.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include "common/error.h"
#include "common/fd.h"
#include "common/line_reader.h"
#include "common/scope_exit.h"
#include "common/text.h"
#include "sched/after.h"
#include "sched/config_keys.h"
#include "sched/values.h"

namespace vrk {

namespace {

inline constexpr size_t kLineMax = kConfigLineSize - 1;  // bytes of one line, its LF included
inline constexpr size_t kReadBufferSize = 16384;
inline constexpr size_t kRememberedKeyMax = kConfigRememberedKeySize - 1;
inline constexpr int kMailErrSize = 128;
inline constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}
bool is_comment(char c) {
  return c == '#' || c == ';';
}

}  // namespace

// The line scanner. Grammar of a raw line (trailing LF and CR already removed):
//   line   := key-part [ '=' { ' ' | '\t' } value-part ]
//   key-part: '#' or ';' at the start or after a blank starts a comment
//   value-part := quoted { ' ' | '\t' } [ comment ] | unquoted
//   quoted := '"' { '\"' | '\\' | other } '"' | "'" { other } "'"
//   unquoted: '#' or ';' after a blank starts a comment; elsewhere they are ordinary
// Returns the length of the line without its comment, or -1 for a broken quote.
ptrdiff_t config_scan_line(std::string_view s) {
  size_t eq = s.find('=');
  size_t key_end = eq == std::string_view::npos ? s.size() : eq;
  for (size_t i = 0; i < key_end; ++i) {
    if (is_comment(s[i]) && (i == 0 || is_blank(s[i - 1]))) {
      return static_cast<ptrdiff_t>(i);
    }
  }
  if (eq == std::string_view::npos) {
    return static_cast<ptrdiff_t>(s.size());
  }
  size_t v = eq + 1;
  while (v < s.size() && is_blank(s[v])) {
    ++v;
  }
  if (v == s.size()) {
    return static_cast<ptrdiff_t>(s.size());
  }
  char q = s[v];
  if (q == '"' || q == '\'') {
    size_t i = v + 1;
    for (; i < s.size() && s[i] != q; ++i) {
      if (q == '"' && s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == '"' || s[i + 1] == '\\')) {
        ++i;
      }
    }
    if (i >= s.size()) {
      return -1;
    }
    size_t j = i + 1;
    while (j < s.size() && is_blank(s[j])) {
      ++j;
    }
    if (j == s.size() || is_comment(s[j])) {
      return static_cast<ptrdiff_t>(j);
    }
    return -1;
  }
  for (size_t i = v; i < s.size(); ++i) {
    if (is_comment(s[i]) && is_blank(s[i - 1])) {
      return static_cast<ptrdiff_t>(i);
    }
  }
  return static_cast<ptrdiff_t>(s.size());
}

namespace {

// A value starting with a quote becomes the text between its quotes (in double quotes \" and
// \\ stand for the second character). False when the closing quote is not the value's last
// character, which the scanner only lets through for odd white space before the quote.
bool unquote(std::string_view v, char (&out)[kConfigLineSize], std::string_view& result) {
  if (v.empty() || (v[0] != '"' && v[0] != '\'')) {
    result = v;
    return true;
  }
  char q = v[0];
  size_t n = 0;
  size_t i = 1;
  for (; i < v.size() && v[i] != q; ++i) {
    char c = v[i];
    if (q == '"' && c == '\\' && i + 1 < v.size() && (v[i + 1] == '"' || v[i + 1] == '\\')) {
      c = v[++i];
    }
    out[n++] = c;  // n < v.size() < kConfigLineSize
  }
  if (i + 1 != v.size()) {
    return false;
  }
  out[n] = '\0';
  result = std::string_view(out, n);
  return true;
}

int section_header(ConfigLoader& ld, std::string_view t, std::span<char> err) {
  if (t.size() < 2 || t.back() != ']') {
    err_set(err, "%s:%d: malformed section header", ld.path, ld.line);
    return -1;
  }
  std::string_view name = text_trim(t.substr(1, t.size() - 2));
  if (name.empty()) {
    err_set(err, "%s:%d: empty section name", ld.path, ld.line);
    return -1;
  }
  // Names reach log lines, the listing and directory names as they are: an escape sequence
  // in one would drive the administrator's terminal. Checked before any message quotes it.
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      err_set(err, "%s:%d: section name must not contain control characters", ld.path, ld.line);
      return -1;
    }
  }
  ld.key_count = 0;
  ld.job = nullptr;
  SchedConfig& cfg = *ld.cfg;
  if (name == "sched") {
    if (ld.seen_sched) {
      err_set(err, "%s:%d: duplicate [sched] section", ld.path, ld.line);
      return -1;
    }
    ld.seen_sched = true;
    ld.section = ConfigSection::kSched;
    return 0;
  }
  if (name == "api") {
    if (ld.seen_api) {
      err_set(err, "%s:%d: duplicate [api] section", ld.path, ld.line);
      return -1;
    }
    ld.seen_api = true;
    cfg.api.present = 1;
    ld.section = ConfigSection::kApi;
    return 0;
  }
  if (name == "mail") {
    if (ld.seen_mail) {
      err_set(err, "%s:%d: duplicate [mail] section", ld.path, ld.line);
      return -1;
    }
    ld.seen_mail = true;
    cfg.mail.enabled = 1;
    ld.section = ConfigSection::kMail;
    return 0;
  }
  const int nm = static_cast<int>(name.size());
  if (config_job_index_find(cfg, ld.names, name) >= 0) {
    err_set(err, "%s:%d: duplicate section [%.*s]", ld.path, ld.line, nm, name.data());
    return -1;
  }
  if (name.find('/') != std::string_view::npos) {
    err_set(err, "%s:%d: job name '%.*s' must not contain '/'", ld.path, ld.line, nm, name.data());
    return -1;
  }
  // The name becomes part of job log paths: "." and ".." would name directories.
  if (name == "." || name == "..") {
    err_set(err, "%s:%d: job name '%.*s' is not allowed", ld.path, ld.line, nm, name.data());
    return -1;
  }
  if (cfg.job_count >= kMaxJobs) {
    err_set(err, "%s:%d: too many jobs", ld.path, ld.line);
    return -1;
  }
  JobConfig& job = cfg.jobs[cfg.job_count];
  config_job_reset(job);
  if (!text_copy(job.name, name)) {
    err_set(err, "%s:%d: job name too long", ld.path, ld.line);
    return -1;
  }
  config_job_index_add(cfg, ld.names, static_cast<int>(cfg.job_count));
  ++cfg.job_count;
  ld.job = &job;
  ld.section = ConfigSection::kJob;
  return 0;
}

// Remembers the section's first 16 keys of at most 31 bytes; false for a repeated one.
bool remember_key(ConfigLoader& ld, std::string_view key) {
  if (key.size() > kRememberedKeyMax) {
    return true;
  }
  for (int i = 0; i < ld.key_count; ++i) {
    if (text_view(ld.keys[i]) == key) {
      return false;
    }
  }
  if (ld.key_count < kConfigRememberedKeys) {
    if (text_copy(ld.keys[ld.key_count], key)) {
      ++ld.key_count;
    }
  }
  return true;
}

int handle_line(ConfigLoader& ld, std::string_view raw, std::span<char> err) {
  // A NUL would end the text early in every record field it reached, so that two names
  // differing after it would collide; such a file is corrupt.
  if (memchr(raw.data(), '\0', raw.size()) != nullptr) {
    err_set(err, "%s:%d: line contains a NUL byte", ld.path, ld.line);
    return -1;
  }
  while (!raw.empty() && (raw.back() == '\n' || raw.back() == '\r')) {
    raw.remove_suffix(1);
  }
  ptrdiff_t len = config_scan_line(raw);
  if (len < 0) {
    err_set(err, "%s:%d: unterminated quote or text after the closing quote", ld.path, ld.line);
    return -1;
  }
  std::string_view t = text_trim(raw.substr(0, static_cast<size_t>(len)));
  if (t.empty()) {
    return 0;
  }
  if (t[0] == '[') {
    return section_header(ld, t, err);
  }
  if (ld.section == ConfigSection::kNone) {
    err_set(err, "%s:%d: content before any [section]", ld.path, ld.line);
    return -1;
  }
  size_t eq = t.find('=');
  if (eq == std::string_view::npos) {
    err_set(err, "%s:%d: expected key=value", ld.path, ld.line);
    return -1;
  }
  std::string_view key = text_trim(t.substr(0, eq));
  std::string_view value;
  if (!unquote(text_trim(t.substr(eq + 1)), ld.value, value)) {
    err_set(err, "%s:%d: unterminated quote or text after the closing quote", ld.path, ld.line);
    return -1;
  }
  const int nk = static_cast<int>(key.size());
  if (key.empty()) {
    err_set(err, "%s:%d: empty key", ld.path, ld.line);
    return -1;
  }
  if (value.empty()) {
    err_set(err, "%s:%d: empty value for '%.*s'", ld.path, ld.line, nk, key.data());
    return -1;
  }
  if (!remember_key(ld, key)) {
    err_set(err, "%s:%d: duplicate setting '%.*s'", ld.path, ld.line, nk, key.data());
    return -1;
  }
  return config_keys_handle(ld, key, value, err);
}

int check_mail(ConfigLoader& ld, std::span<char> err) {
  MailSettings& mail = ld.cfg->mail;
  if (mail.smtp_host[0] == '\0') {
    err_set(err, "[mail]: 'smtp-host' is required");
    return -1;
  }
  if (mail.from[0] == '\0') {
    err_set(err, "[mail]: 'from' is required");
    return -1;
  }
  if (mail.recipient_count == 0) {
    err_set(err, "[mail]: 'to' is required");
    return -1;
  }
  if (!ld.mail_port_given) {
    mail.smtp_port = mail.tls_mode == kMailTlsSmtps  ? 465
                     : mail.tls_mode == kMailTlsNone ? 25
                                                     : 587;
  }
  if (!ld.mail_timeout_given) {
    mail.timeout_seconds = 60;
  }
  bool has_user = mail.smtp_user[0] != '\0';
  bool has_password = ld.raw_password[0] != '\0';
  if (has_user != has_password) {
    err_set(err, "[mail]: 'smtp-user' and 'smtp-password' must be set together");
    return -1;
  }
  if (!has_password) {
    return 0;
  }
  if (mail.tls_mode == kMailTlsNone) {
    err_set(err,
            "[mail]: 'smtp-password' needs tls=starttls or tls=smtps (it would be sent in clear "
            "text)");
    return -1;
  }
  SecretRef ref;
  char rerr[kMailErrSize];
  if (secret_ref_parse(text_view(ld.raw_password), ref, rerr) != 0) {
    err_set(err, "[mail]: 'smtp-password': %s", rerr);
    return -1;
  }
  if (ref.kind == SecretKind::kKms) {
    err_set(err, "[mail]: 'smtp-password': kms: is not supported yet");
    return -1;
  }
  if (ref.kind == SecretKind::kFile && ld.password_file != nullptr) {
    text_copy_cut(std::span<char>(ld.password_file, ld.password_file_size), ref.rest);
  }
  if (secret_resolve(ref, mail.smtp_password) != 0) {
    err_set(err,
            "[mail]: 'smtp-password': cannot read it (file missing/unreadable, or not 1..64 "
            "characters)");
    return -1;
  }
  return 0;
}

bool retention_in_args(const JobConfig& job) {
  for (int i = 0; i < job.args_token_count; ++i) {
    std::string_view t = job.args_tokens[i] != nullptr ? job.args_tokens[i] : "";
    if (t == "--retention" || t == "--retention-class" || t.starts_with("--retention=") ||
        t.starts_with("--retention-class=")) {
      return true;
    }
  }
  return false;
}

int check_job(const SchedConfig& cfg, const JobNameIndex& names, const JobConfig& job,
              std::span<char> err) {
  const char* name = job.name;
  const int kind = static_cast<int>(job.command);
  const char* keyword = command_keyword(kind);
  if (job.has_schedule && job.has_once) {
    err_set(err, "[%s]: 'schedule' and 'once' are mutually exclusive", name);
    return -1;
  }
  if (job.enabled && !job.has_schedule && !job.has_once && job.after_count == 0) {
    err_set(err, "[%s]: needs at least one of 'schedule', 'once' or 'after' (or set enabled=no)",
            name);
    return -1;
  }
  if (job.after_mode_given && job.after_count == 0) {
    err_set(err, "[%s]: 'after-mode' requires 'after'", name);
    return -1;
  }
  if (job.notify != kNotifyUnset && cfg.mail.enabled == 0) {
    err_set(err, "[%s]: 'notify' needs a [mail] section", name);
    return -1;
  }
  if (!command_takes_profile(kind) && job.profile[0] != '\0') {
    err_set(err,
            "[%s]: 'profile' is not applicable to command=%s; put whatever "
            "--name/--uuid/--job/--meta this command needs directly in 'args'",
            name, keyword);
    return -1;
  }
  if (!command_takes_retention(kind)) {
    const char* background_key = job.run_background != -1     ? "run-background"
                                 : job.start_background != -1 ? "start-background"
                                                              : nullptr;
    if (background_key != nullptr) {
      err_set(err,
              "[%s]: '%s' is not applicable to command=%s (only agent, proxmox and xenv take "
              "--background)",
              name, background_key, keyword);
      return -1;
    }
    const char* retention_key = job.retention[0] != '\0'         ? "retention"
                                : job.retention_class[0] != '\0' ? "retention-class"
                                                                 : nullptr;
    if (retention_key != nullptr) {
      err_set(err,
              "[%s]: '%s' is not applicable to command=%s (only agent, proxmox and xenv take a "
              "retention)",
              name, retention_key, keyword);
      return -1;
    }
  }
  if (job.retention_class[0] != '\0' && job.retention[0] == '\0') {
    err_set(err, "[%s]: 'retention-class' requires 'retention'", name);
    return -1;
  }
  if (job.retention[0] != '\0' && retention_in_args(job)) {
    err_set(err,
            "[%s]: set the retention either with 'retention'/'retention-class' or in "
            "'args', not both",
            name);
    return -1;
  }
  for (int i = 0; i < job.after_count && i < kMaxAfter; ++i) {
    std::string_view dep = text_view(job.after[i]);
    if (dep == text_view(job.name)) {
      err_set(err, "[%s]: 'after' cannot reference itself", name);
      return -1;
    }
    if (config_job_index_find(cfg, names, dep) < 0) {
      err_set(err, "[%s]: 'after' references unknown job '%s'", name, job.after[i]);
      return -1;
    }
  }
  return 0;
}

int end_of_file_checks(ConfigLoader& ld, std::span<char> err) {
  SchedConfig& cfg = *ld.cfg;
  if (cfg.mail.enabled && check_mail(ld, err) != 0) {
    return -1;
  }
  for (uint64_t i = 0; i < cfg.job_count; ++i) {
    if (check_job(cfg, ld.names, cfg.jobs[i], err) != 0) {
      return -1;
    }
  }
  return after_check_cycles(cfg, err);
}

int load_lines(LineReader& reader, const char* path, SchedConfig& cfg, std::span<char> err,
               ConfigLoadInputs* inputs = nullptr) {
  ConfigLoader ld;
  if (inputs != nullptr) {
    *inputs = ConfigLoadInputs{};
    ld.password_file = inputs->password_file;
    ld.password_file_size = sizeof inputs->password_file;
  }
  // The raw password and the unquoted values may hold a secret, whatever the outcome.
  ScopeExit wipe([&ld]() {
    OPENSSL_cleanse(ld.raw_password, sizeof(ld.raw_password));
    OPENSSL_cleanse(ld.value, sizeof(ld.value));
  });
  ld.cfg = &cfg;
  ld.path = path;
  for (;;) {
    std::string_view line;
    LineResult r = line_reader_next(reader, line);
    if (r == LineResult::kEnd) {
      break;
    }
    ++ld.line;
    // Some editors start a UTF-8 file with a byte order mark; it is not part of the first line.
    if (ld.line == 1 && r == LineResult::kLine && line.starts_with(kUtf8Bom)) {
      line.remove_prefix(kUtf8Bom.size());
    }
    if (r == LineResult::kReadError) {
      err_set(err, "cannot read the configuration file %s", path);
      return -1;
    }
    if (r == LineResult::kTooLong) {
      err_set(err, "%s:%d: line too long", path, ld.line);
      return -1;
    }
    if (handle_line(ld, line, err) != 0) {
      return -1;
    }
  }
  return end_of_file_checks(ld, err);
}

// inputs may be null: nothing records what the text read.
int load_text(std::string_view text, const char* path, SchedConfig& cfg, ConfigLoadInputs* inputs,
              std::span<char> err) {
  if (!err.empty()) {
    err[0] = '\0';
  }
  config_reset(cfg);
  LineReader reader;
  reader.line_max = kLineMax;
  reader.rest = text;
  return load_lines(reader, path, cfg, err, inputs);
}

}  // namespace

int config_load_text(std::string_view text, const char* path, SchedConfig& cfg,
                     std::span<char> err) {
  return load_text(text, path, cfg, nullptr, err);
}

int config_load_text_inputs(std::string_view text, const char* path, SchedConfig& cfg,
                            ConfigLoadInputs& inputs, std::span<char> err) {
  return load_text(text, path, cfg, &inputs, err);
}

int config_load(const char* path, SchedConfig& cfg, std::span<char> err) {
  if (!err.empty()) {
    err[0] = '\0';
  }
  config_reset(cfg);
  // O_NONBLOCK: opening a FIFO would wait for a writer, in the daemon with the queue lock held.
  // Only a regular file is a configuration; the flag goes again so that reads behave normally.
  UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat st = {};
  const bool regular = fd.valid() && fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode);
  const int flags = regular ? fcntl(fd.get(), F_GETFL) : -1;
  if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    err_set(err, "cannot read the configuration file %s", path);
    return -1;
  }
  char buf[kReadBufferSize];
  LineReader reader;
  // The file may hold a literal password.
  ScopeExit wipe([&buf, &reader]() { OPENSSL_cleanse(buf, reader.filled); });
  reader.line_max = kLineMax;
  reader.fd = fd.get();
  reader.buf = buf;
  reader.cap = sizeof(buf);
  reader.rest = std::string_view(buf, 0);
  reader.eof = false;
  reader.file = &fd;
  return load_lines(reader, path, cfg, err);
}

}  // namespace vrk
