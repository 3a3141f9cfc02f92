#include "sched/config_keys.h"

#include <arpa/inet.h>
#include <limits.h>
#include <netinet/in.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

#include <charconv>

#include "common/error.h"
#include "common/mail_address.h"
#include "common/text.h"
#include "sched/after.h"
#include "sched/args.h"
#include "sched/cron.h"
#include "sched/values.h"

namespace vrk {

namespace {

inline constexpr size_t kSmtpHostMax = kMailHostSize - 1;
inline constexpr size_t kToValueMax = 2047;
inline constexpr size_t kAllowedCommandsMax = 1023;
inline constexpr size_t kArgsValueMax = kArgsTextSize - 1;
inline constexpr size_t kScheduleMax = kScheduleTextSize - 1;
inline constexpr size_t kOnceMax = kOnceTextSize - 1;
inline constexpr size_t kApiAddressMax = kApiAddressSize - 1;
inline constexpr uint32_t kPortMax = 65535;
inline constexpr uint32_t kMaxClientsMax = 256;
inline constexpr uint32_t kHistoryKeepMax = 1000;
inline constexpr size_t kArgsErrSize = 256;

using KeyFn = int (*)(ConfigLoader&, std::string_view key, std::string_view value,
                      std::span<char> err);
struct KeyRow {
  std::string_view key;
  KeyFn fn;
};

struct WordRow {
  std::string_view word;
  uint32_t value;
};

constexpr WordRow kNotifyWords[] = {
    {"never", kNotifyNever}, {"failed", kNotifyFailed}, {"always", kNotifyAlways}};
constexpr WordRow kTlsWords[] = {
    {"starttls", kMailTlsStarttls}, {"smtps", kMailTlsSmtps}, {"none", kMailTlsNone}};
constexpr WordRow kAfterModeWords[] = {{"success", kAfterModeSuccess},
                                       {"finished", kAfterModeFinished}};

template <size_t N>
bool word_lookup(const WordRow (&rows)[N], std::string_view word, uint32_t& out) {
  for (const WordRow& r : rows) {
    if (r.word == word) {
      out = r.value;
      return true;
    }
  }
  return false;
}

// Unsigned decimal that must use the whole value; a sign or a value above 4294967295 is
// refused rather than wrapped.
bool parse_u32(std::string_view v, uint32_t& out) {
  if (v.empty()) {
    return false;
  }
  uint32_t n = 0;
  auto [ptr, ec] = std::from_chars(v.data(), v.data() + v.size(), n, 10);
  if (ec != std::errc() || ptr != v.data() + v.size()) {
    return false;
  }
  out = n;
  return true;
}

bool all_digits(std::string_view v) {
  if (v.empty()) {
    return false;
  }
  for (char c : v) {
    if (c < '0' || c > '9') {
      return false;
    }
  }
  return true;
}

// ---- [sched] ----

struct SchedNumber {
  std::string_view key;
  uint32_t SchedConfig::*field;
};
constexpr SchedNumber kSchedNumbers[] = {
    {"poll-interval", &SchedConfig::poll_interval},
    {"busy-retry-seconds", &SchedConfig::busy_retry_seconds},
    {"job-timeout-seconds", &SchedConfig::job_timeout_seconds},
    {"job-log-keep", &SchedConfig::job_log_keep},
};

int sched_number(ConfigLoader& ld, std::string_view key, std::string_view value,
                 std::span<char> err) {
  for (const SchedNumber& row : kSchedNumbers) {
    if (row.key == key) {
      if (!parse_u32(value, ld.cfg->*row.field)) {
        err_set(err, "%s:%d: '%.*s' must be a number", ld.path, ld.line,
                static_cast<int>(key.size()), key.data());
        return -1;
      }
      return 0;
    }
  }
  return -1;  // not reached: the table rows below name only these keys
}

int sched_job_log_dir(ConfigLoader& ld, std::string_view, std::string_view value,
                      std::span<char> err) {
  if (!text_copy(ld.cfg->job_log_dir, value)) {
    err_set(err, "%s:%d: 'job-log-dir' too long", ld.path, ld.line);
    return -1;
  }
  return 0;
}

constexpr KeyRow kSchedKeys[] = {
    {"poll-interval", sched_number},       {"busy-retry-seconds", sched_number},
    {"job-timeout-seconds", sched_number}, {"job-log-dir", sched_job_log_dir},
    {"job-log-keep", sched_number},
};

// ---- [mail] ----

int mail_smtp_host(ConfigLoader& ld, std::string_view, std::string_view value,
                   std::span<char> err) {
  if (value.size() > kSmtpHostMax || value.find_first_of(" \t/@") != std::string_view::npos ||
      !text_copy(ld.cfg->mail.smtp_host, value)) {
    err_set(err, "%s:%d: invalid 'smtp-host'", ld.path, ld.line);
    return -1;
  }
  return 0;
}

int mail_smtp_port(ConfigLoader& ld, std::string_view, std::string_view value,
                   std::span<char> err) {
  uint32_t port = 0;
  if (!parse_u32(value, port) || port < 1 || port > kPortMax) {
    err_set(err, "%s:%d: 'smtp-port' must be 1..65535", ld.path, ld.line);
    return -1;
  }
  ld.cfg->mail.smtp_port = port;
  ld.mail_port_given = true;
  return 0;
}

int mail_tls(ConfigLoader& ld, std::string_view, std::string_view value, std::span<char> err) {
  if (!word_lookup(kTlsWords, value, ld.cfg->mail.tls_mode)) {
    err_set(err, "%s:%d: 'tls' must be starttls, smtps or none", ld.path, ld.line);
    return -1;
  }
  return 0;
}

int mail_smtp_user(ConfigLoader& ld, std::string_view, std::string_view value,
                   std::span<char> err) {
  if (!text_copy(ld.cfg->mail.smtp_user, value)) {
    err_set(err, "%s:%d: 'smtp-user' too long", ld.path, ld.line);
    return -1;
  }
  return 0;
}

// Kept as written until the end of the file, where it is parsed and resolved.
int mail_smtp_password(ConfigLoader& ld, std::string_view, std::string_view value,
                       std::span<char> err) {
  if (!text_copy(ld.raw_password, value)) {
    err_set(err, "%s:%d: 'smtp-password' too long", ld.path, ld.line);
    return -1;
  }
  return 0;
}

int mail_from(ConfigLoader& ld, std::string_view, std::string_view value, std::span<char> err) {
  if (!mail_address_valid(value) || !text_copy(ld.cfg->mail.from, value)) {
    err_set(err, "%s:%d: 'from' must be a plain address like backup@example.org", ld.path, ld.line);
    return -1;
  }
  return 0;
}

int mail_to(ConfigLoader& ld, std::string_view, std::string_view value, std::span<char> err) {
  if (value.size() > kToValueMax) {
    err_set(err, "%s:%d: 'to' too long", ld.path, ld.line);
    return -1;
  }
  MailSettings& mail = ld.cfg->mail;
  return text_for_each_item(value, [&](std::string_view addr) {
    // Syntax before count: an invalid 17th entry gets the address message.
    if (!mail_address_valid(addr)) {
      err_set(err, "%s:%d: invalid address '%.*s' in 'to'", ld.path, ld.line,
              static_cast<int>(addr.size()), addr.data());
      return -1;
    }
    if (mail.recipient_count >= kMailMaxRecipients) {
      err_set(err, "%s:%d: too many addresses in 'to'", ld.path, ld.line);
      return -1;
    }
    if (!text_copy(mail.recipients[mail.recipient_count], addr)) {
      return -1;  // not reached: a valid address has at most 255 bytes
    }
    ++mail.recipient_count;
    return 0;
  });
}

int mail_ca_file(ConfigLoader& ld, std::string_view, std::string_view value, std::span<char> err) {
  if (!text_copy(ld.cfg->mail.ca_file, value)) {
    err_set(err, "%s:%d: 'ca-file' too long", ld.path, ld.line);
    return -1;
  }
  return 0;
}

int mail_timeout(ConfigLoader& ld, std::string_view, std::string_view value, std::span<char> err) {
  uint32_t n = 0;
  if (!parse_u32(value, n) || n == 0) {
    err_set(err, "%s:%d: 'timeout-seconds' must be a positive number", ld.path, ld.line);
    return -1;
  }
  ld.cfg->mail.timeout_seconds = n;
  ld.mail_timeout_given = true;
  return 0;
}

int mail_notify(ConfigLoader& ld, std::string_view, std::string_view value, std::span<char> err) {
  if (!word_lookup(kNotifyWords, value, ld.cfg->mail_notify_default)) {
    err_set(err, "%s:%d: 'notify' must be never, failed or always", ld.path, ld.line);
    return -1;
  }
  return 0;
}

constexpr KeyRow kMailKeys[] = {
    {"smtp-host", mail_smtp_host},
    {"smtp-port", mail_smtp_port},
    {"tls", mail_tls},
    {"smtp-user", mail_smtp_user},
    {"smtp-password", mail_smtp_password},
    {"from", mail_from},
    {"to", mail_to},
    {"ca-file", mail_ca_file},
    {"timeout-seconds", mail_timeout},
    {"notify", mail_notify},
};

// ---- [api] ----

struct ApiFlag {
  std::string_view key;
  uint32_t ApiSettings::*field;
};
constexpr ApiFlag kApiFlags[] = {
    {"enabled", &ApiSettings::enabled},
    {"allow-config-write", &ApiSettings::allow_config_write},
    {"allow-args", &ApiSettings::allow_args},
    {"notify-changes", &ApiSettings::notify_changes},
};

int api_flag(ConfigLoader& ld, std::string_view key, std::string_view value, std::span<char> err) {
  for (const ApiFlag& row : kApiFlags) {
    if (row.key == key) {
      int flag = 0;
      if (parse_yes_no(value, flag) != 0) {
        err_set(err, "%s:%d: '%.*s' must be yes or no", ld.path, ld.line,
                static_cast<int>(key.size()), key.data());
        return -1;
      }
      ld.cfg->api.*row.field = static_cast<uint32_t>(flag);
      return 0;
    }
  }
  return -1;  // not reached
}

// Forms: [<address>]:<port>, <address>:<port> (no ':' in the address), <port>. The address is
// numeric IPv4 or IPv6; the port decimal 1..65535. Both are stored only when both are valid.
int api_listen(ConfigLoader& ld, std::string_view, std::string_view value, std::span<char> err) {
  auto fail = [&]() {
    err_set(err,
            "%s:%d: 'listen' must be <address>:<port>, [<ipv6>]:<port> or <port> (numeric "
            "address)",
            ld.path, ld.line);
    return -1;
  };
  std::string_view addr;
  std::string_view port_text;
  bool has_addr = true;
  if (!value.empty() && value[0] == '[') {
    size_t close = value.find(']');
    if (close == std::string_view::npos || close + 1 >= value.size() || value[close + 1] != ':') {
      return fail();
    }
    addr = value.substr(1, close - 1);
    port_text = value.substr(close + 2);
  } else if (size_t colon = value.rfind(':'); colon != std::string_view::npos) {
    addr = value.substr(0, colon);
    port_text = value.substr(colon + 1);
    if (addr.find(':') != std::string_view::npos) {
      return fail();
    }
  } else {
    port_text = value;
    has_addr = false;
  }
  uint32_t port = 0;
  if (!all_digits(port_text) || !parse_u32(port_text, port) || port < 1 || port > kPortMax) {
    return fail();
  }
  char address[kApiAddressSize] = {};
  if (has_addr) {
    if (addr.empty() || addr.size() > kApiAddressMax || !text_copy(address, addr)) {
      return fail();
    }
    in_addr a4 = {};
    in6_addr a6 = {};
    if (inet_pton(AF_INET, address, &a4) != 1 && inet_pton(AF_INET6, address, &a6) != 1) {
      return fail();
    }
    if (!text_copy(ld.cfg->api.listen_address, address)) {
      return fail();  // not reached: same size
    }
  }
  ld.cfg->api.listen_port = port;
  return 0;
}

int api_path(ConfigLoader& ld, std::string_view key, std::string_view value, std::span<char> err) {
  ApiSettings& api = ld.cfg->api;
  char* field = key == "cert" ? api.cert : key == "key" ? api.key : api.tokens_file;
  if (value.empty() || value[0] != '/' || !text_copy(std::span<char>(field, kApiPathSize), value)) {
    err_set(err, "%s:%d: '%.*s' must be an absolute path", ld.path, ld.line,
            static_cast<int>(key.size()), key.data());
    return -1;
  }
  return 0;
}

// "none", or a comma list of command keywords; replaces the default set.
int api_allowed_commands(ConfigLoader& ld, std::string_view, std::string_view value,
                         std::span<char> err) {
  if (value.size() > kAllowedCommandsMax) {
    err_set(err, "%s:%d: 'allowed-commands' too long", ld.path, ld.line);
    return -1;
  }
  uint32_t bits = 0;
  if (value != "none") {
    int rc = text_for_each_item(value, [&](std::string_view word) {
      int kind = command_from_keyword(word);
      if (kind < 0) {
        err_set(err, "%s:%d: unknown command '%.*s' in 'allowed-commands'", ld.path, ld.line,
                static_cast<int>(word.size()), word.data());
        return -1;
      }
      bits |= 1u << kind;
      return 0;
    });
    if (rc != 0) {
      return rc;
    }
  }
  ld.cfg->api.allowed_commands = bits;
  return 0;
}

int api_max_clients(ConfigLoader& ld, std::string_view, std::string_view value,
                    std::span<char> err) {
  uint32_t n = 0;
  if (!parse_u32(value, n) || n < 1 || n > kMaxClientsMax) {
    err_set(err, "%s:%d: 'max-clients' must be 1..256", ld.path, ld.line);
    return -1;
  }
  ld.cfg->api.max_clients = n;
  return 0;
}

int api_history_keep(ConfigLoader& ld, std::string_view, std::string_view value,
                     std::span<char> err) {
  uint32_t n = 0;
  if (!parse_u32(value, n) || n > kHistoryKeepMax) {
    err_set(err, "%s:%d: 'history-keep' must be 0..1000", ld.path, ld.line);
    return -1;
  }
  ld.cfg->api.history_keep = n;
  return 0;
}

constexpr KeyRow kApiKeys[] = {
    {"enabled", api_flag},
    {"listen", api_listen},
    {"cert", api_path},
    {"key", api_path},
    {"tokens-file", api_path},
    {"allow-config-write", api_flag},
    {"allow-args", api_flag},
    {"notify-changes", api_flag},
    {"allowed-commands", api_allowed_commands},
    {"max-clients", api_max_clients},
    {"history-keep", api_history_keep},
};

// ---- job sections ----

int job_command(ConfigLoader& ld, std::string_view, std::string_view value, std::span<char> err) {
  int kind = command_from_keyword(value);
  if (kind < 0) {
    err_set(err, "%s:%d: unknown command '%.*s'", ld.path, ld.line, static_cast<int>(value.size()),
            value.data());
    return -1;
  }
  ld.job->command = static_cast<CommandKind>(kind);
  return 0;
}

int job_profile(ConfigLoader& ld, std::string_view, std::string_view value, std::span<char> err) {
  if (!text_copy(ld.job->profile, value)) {
    err_set(err, "%s:%d: 'profile' too long", ld.path, ld.line);
    return -1;
  }
  return 0;
}

int job_args(ConfigLoader& ld, std::string_view, std::string_view value, std::span<char> err) {
  if (value.size() > kArgsValueMax) {
    err_set(err, "%s:%d: 'args' too long", ld.path, ld.line);
    return -1;
  }
  char* tokens[kArgsMaxTokens] = {};
  char terr[kArgsErrSize];
  int n = args_tokenize(value, tokens, kArgsMaxTokens, terr);
  if (n < 0) {
    err_set(err, "%s:%d: %s", ld.path, ld.line, terr);
    return -1;
  }
  JobConfig& job = *ld.job;
  args_free(job.args_tokens, job.args_token_count);  // none: a repeated key is refused earlier
  for (int i = 0; i < n; ++i) {
    job.args_tokens[i] = tokens[i];
  }
  job.args_token_count = n;
  if (!text_copy(job.args_text, value)) {
    return -1;  // not reached: length checked above
  }
  return 0;
}

// Parsed before the length check, so a long but valid expression reads "too long".
int job_schedule(ConfigLoader& ld, std::string_view, std::string_view value, std::span<char> err) {
  char cerr[kCronErrSize];
  if (cron_parse(value, ld.job->schedule, cerr) != 0) {
    err_set(err, "%s:%d: invalid 'schedule': %s", ld.path, ld.line, cerr);
    return -1;
  }
  if (value.size() > kScheduleMax || !text_copy(ld.job->schedule_text, value)) {
    err_set(err, "%s:%d: 'schedule' too long", ld.path, ld.line);
    return -1;
  }
  ld.job->has_schedule = 1;
  return 0;
}

int job_once(ConfigLoader& ld, std::string_view, std::string_view value, std::span<char> err) {
  // Only a long digit string reaches the length check: other values of 64 bytes or more are
  // refused as timestamps.
  if (all_digits(value) && value.size() > kOnceMax) {
    err_set(err, "%s:%d: 'once' too long", ld.path, ld.line);
    return -1;
  }
  int64_t t = 0;
  if (!config_once_parse(value, t)) {
    err_set(err,
            "%s:%d: invalid 'once' timestamp '%.*s' (expected unix seconds or "
            "YYYY-MM-DDTHH:MM:SS local time, no timezone suffix)",
            ld.path, ld.line, static_cast<int>(value.size()), value.data());
    return -1;
  }
  if (!text_copy(ld.job->once_text, value)) {
    err_set(err, "%s:%d: 'once' too long", ld.path, ld.line);
    return -1;
  }
  ld.job->once_time = t;
  ld.job->has_once = 1;
  return 0;
}

// The item messages of 'after' carry no file and line.
int job_after(ConfigLoader& ld, std::string_view, std::string_view value, std::span<char> err) {
  return after_parse(value, *ld.job, err);
}

int job_after_mode(ConfigLoader& ld, std::string_view, std::string_view value,
                   std::span<char> err) {
  if (!word_lookup(kAfterModeWords, value, ld.job->after_mode)) {
    err_set(err, "%s:%d: 'after-mode' must be success or finished", ld.path, ld.line);
    return -1;
  }
  ld.job->after_mode_given = 1;
  return 0;
}

int job_flag(ConfigLoader& ld, std::string_view key, std::string_view value, std::span<char> err) {
  int flag = 0;
  if (parse_yes_no(value, flag) != 0) {
    err_set(err, "%s:%d: '%.*s' must be yes or no", ld.path, ld.line, static_cast<int>(key.size()),
            key.data());
    return -1;
  }
  if (key == "enabled") {
    ld.job->enabled = static_cast<uint32_t>(flag);
  } else if (key == "run-background") {
    ld.job->run_background = flag;
  } else {
    ld.job->start_background = flag;
  }
  return 0;
}

int job_retention(ConfigLoader& ld, std::string_view, std::string_view value, std::span<char> err) {
  if (retention_parse(value, nullptr) != 0 || !text_copy(ld.job->retention, value)) {
    err_set(err,
            "%s:%d: 'retention' must be <n>d, <n>w, <n>m, <n>y (n >= 1, at most 100 years) or "
            "forever",
            ld.path, ld.line);
    return -1;
  }
  return 0;
}

int job_retention_class(ConfigLoader& ld, std::string_view, std::string_view value,
                        std::span<char> err) {
  if (!retention_class_valid(value) || !text_copy(ld.job->retention_class, value)) {
    err_set(err,
            "%s:%d: 'retention-class' may only contain a-z, 0-9, '_' and '-' (at most %u "
            "characters)",
            ld.path, ld.line, static_cast<unsigned>(kRetentionClassMax));
    return -1;
  }
  return 0;
}

int job_notify(ConfigLoader& ld, std::string_view, std::string_view value, std::span<char> err) {
  uint32_t n = 0;
  if (!word_lookup(kNotifyWords, value, n)) {
    err_set(err, "%s:%d: 'notify' must be never, failed or always", ld.path, ld.line);
    return -1;
  }
  ld.job->notify = static_cast<int32_t>(n);
  return 0;
}

int job_timeout(ConfigLoader& ld, std::string_view, std::string_view value, std::span<char> err) {
  if (!parse_u32(value, ld.job->timeout_seconds)) {
    err_set(err, "%s:%d: 'timeout-seconds' must be a number", ld.path, ld.line);
    return -1;
  }
  return 0;
}

constexpr KeyRow kJobKeys[] = {
    {"command", job_command},
    {"profile", job_profile},
    {"args", job_args},
    {"schedule", job_schedule},
    {"once", job_once},
    {"after", job_after},
    {"after-mode", job_after_mode},
    {"enabled", job_flag},
    {"run-background", job_flag},
    {"start-background", job_flag},
    {"retention", job_retention},
    {"retention-class", job_retention_class},
    {"notify", job_notify},
    {"timeout-seconds", job_timeout},
};

template <size_t N>
KeyFn key_lookup(const KeyRow (&rows)[N], std::string_view key) {
  for (const KeyRow& r : rows) {
    if (r.key == key) {
      return r.fn;
    }
  }
  return nullptr;
}

// One number of a 'once' date as sscanf's %d reads it (leading white space, optional sign,
// digits), but refusing a value outside int instead of leaving it undefined.
enum class NumScan { kOk, kNone, kOverflow };

NumScan scan_int(std::string_view s, size_t& pos, int& out) {
  size_t i = pos;
  while (i < s.size() && text_is_space(s[i])) {
    ++i;
  }
  bool neg = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) {
    neg = s[i] == '-';
    ++i;
  }
  if (i >= s.size() || s[i] < '0' || s[i] > '9') {
    return NumScan::kNone;
  }
  int64_t v = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
    v = v * 10 + (s[i] - '0');
    if (v > static_cast<int64_t>(INT_MAX) + 1) {
      return NumScan::kOverflow;
    }
    ++i;
  }
  if (neg) {
    v = -v;
  }
  if (v > INT_MAX || v < INT_MIN) {
    return NumScan::kOverflow;
  }
  out = static_cast<int>(v);
  pos = i;
  return NumScan::kOk;
}

}  // namespace

// Date form, read like sscanf("%d-%d-%d %d:%d:%d") after the first 'T'/'t' became a space:
// year, month, day, hour and minute are required, seconds default to 0, and what follows is
// ignored unless it holds a '-' (a UTC offset such as -05:00, refused like Z and +01:00).
bool config_once_parse(std::string_view value, int64_t& out) {
  if (all_digits(value)) {
    int64_t t = 0;
    auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), t, 10);
    if (ec != std::errc() || ptr != value.data() + value.size()) {
      return false;
    }
    out = t;
    return true;
  }
  if (value.find_first_of("Zz+") != std::string_view::npos || value.size() >= kOnceTextSize) {
    return false;
  }
  char buf[kOnceTextSize] = {};
  memcpy(buf, value.data(), value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    if (buf[i] == 'T' || buf[i] == 't') {
      buf[i] = ' ';
      break;
    }
  }
  std::string_view s(buf, value.size());
  constexpr char kSeparators[] = {'-', '-', ' ', ':', ':'};  // before numbers 2..6
  int nums[6] = {0, 0, 0, 0, 0, 0};
  int got = 0;
  size_t pos = 0;
  for (int k = 0; k < 6; ++k) {
    if (k > 0) {
      char sep = kSeparators[k - 1];
      if (sep == ' ') {
        while (pos < s.size() && text_is_space(s[pos])) {
          ++pos;
        }
      } else if (pos < s.size() && s[pos] == sep) {
        ++pos;
      } else {
        break;
      }
    }
    NumScan r = scan_int(s, pos, nums[k]);
    if (r == NumScan::kOverflow) {
      return false;
    }
    if (r == NumScan::kNone) {
      break;
    }
    ++got;
  }
  if (got < 5 || s.substr(pos).find('-') != std::string_view::npos) {
    return false;
  }
  if (nums[0] < INT_MIN + 1900 || nums[1] < INT_MIN + 1) {
    return false;
  }
  struct tm tm = {};
  tm.tm_year = nums[0] - 1900;
  tm.tm_mon = nums[1] - 1;
  tm.tm_mday = nums[2];
  tm.tm_hour = nums[3];
  tm.tm_min = nums[4];
  tm.tm_sec = nums[5];
  tm.tm_isdst = -1;
  time_t t = mktime(&tm);
  if (t == static_cast<time_t>(-1)) {
    return false;
  }
  out = static_cast<int64_t>(t);
  return true;
}

int config_keys_handle(ConfigLoader& ld, std::string_view key, std::string_view value,
                       std::span<char> err) {
  KeyFn fn = nullptr;
  const char* unknown = nullptr;
  switch (ld.section) {
    case ConfigSection::kSched:
      fn = key_lookup(kSchedKeys, key);
      unknown = "unknown [sched] setting";
      break;
    case ConfigSection::kMail:
      fn = key_lookup(kMailKeys, key);
      unknown = "unknown [mail] setting";
      break;
    case ConfigSection::kApi:
      fn = key_lookup(kApiKeys, key);
      unknown = "unknown [api] setting";
      break;
    case ConfigSection::kJob:
      fn = key_lookup(kJobKeys, key);
      unknown = "unknown setting";
      break;
    case ConfigSection::kNone:
      return -1;  // not reached: the caller refuses content before any section
  }
  if (fn == nullptr) {
    err_set(err, "%s:%d: %s '%.*s'", ld.path, ld.line, unknown, static_cast<int>(key.size()),
            key.data());
    return -1;
  }
  return fn(ld, key, value, err);
}

}  // namespace vrk
