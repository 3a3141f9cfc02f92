// The loader's per-line state and the key tables of [sched], [mail], [api] and job sections.
// Internal to the configuration loader (config_load.cc): one line's key and value go to the
// handler of the current section, which fills the record or writes one "%s:%d:" message.
#pragma once

#include <stddef.h>

#include <span>
#include <string_view>

#include "sched/config.h"

namespace vrk {

inline constexpr size_t kConfigLineSize = 2048;         // a line holds at most 2047 bytes
inline constexpr size_t kConfigRawPasswordSize = 1024;  // smtp-password as written
inline constexpr int kConfigRememberedKeys = 16;
inline constexpr size_t kConfigRememberedKeySize = 32;

enum class ConfigSection { kNone, kSched, kMail, kApi, kJob };

// Everything one load carries from line to line. raw_password and value hold secrets.
struct ConfigLoader {
  SchedConfig* cfg = nullptr;
  const char* path = "";
  int line = 0;
  ConfigSection section = ConfigSection::kNone;
  JobConfig* job = nullptr;
  bool seen_sched = false;
  bool seen_mail = false;
  bool seen_api = false;
  char keys[kConfigRememberedKeys][kConfigRememberedKeySize] = {};
  int key_count = 0;
  bool mail_port_given = false;
  bool mail_timeout_given = false;
  char raw_password[kConfigRawPasswordSize] = {};
  char value[kConfigLineSize] = {};  // the unquoted value of the current line
  JobNameIndex names;                // the jobs so far, for the duplicate and 'after' checks
  char* password_file = nullptr;     // when set: receives the password file's path
  size_t password_file_size = 0;
};

// Handles key = value in the current section. 0, or -1 with one message (unknown keys too).
[[nodiscard]] int config_keys_handle(ConfigLoader& ld, std::string_view key, std::string_view value,
                                     std::span<char> err);

// Reads a 'once' value: all digits as Unix seconds, else local "Y-M-D[Tt ]h:m[:s]" through
// mktime. False for anything else, including a time zone suffix (Z, +hh:mm, -hh:mm).
bool config_once_parse(std::string_view value, int64_t& out);

}  // namespace vrk
