// ConfigSnapshot: one consistent read of the configuration file for an API request: its bytes,
// its ETag (the quoted SHA-256 of exactly those bytes) and the configuration parsed from them.
// The handler that read it owns it and releases it before it returns.
#pragma once

#include <stddef.h>

#include <span>
#include <string>

#include "sched/config.h"
#include "sched/config_write.h"

namespace vrk {

struct ApiState;

struct ConfigSnapshot {
  std::string text;  // the file's bytes (at most 1 MiB, no NUL byte); c_str() is terminated
  size_t length = 0;
  char etag[kConfigEtagSize] = {};
  SchedConfig* config = nullptr;  // from config_new, loaded from text
};

// Reads state.config_path, parses it and reads it again until two reads give the same ETag,
// at most three times. 0; or -1 with snapshot released and one message in err (kConfigApiErrSize
// bytes): "cannot read %s", "out of memory", the parser's message, or "%s keeps changing".
// The file is only ever read.
[[nodiscard]] int config_snapshot_read(const ApiState& state, ConfigSnapshot& snapshot,
                                       std::span<char> err);

// The file reader of config_snapshot_read (config_read_with_etag); a parameter so that tests
// can give a file that changes between reads.
using ConfigFileReader = int (*)(const char* path, std::string& text, char (&tag)[kConfigEtagSize]);

// config_snapshot_read of path with read as the file reader.
[[nodiscard]] int config_snapshot_read_with(const char* path, ConfigFileReader read,
                                            ConfigSnapshot& snapshot, std::span<char> err);

// Wipes and frees the text (it may hold a literal password), frees the parsed configuration and
// zeroes the record; safe to call twice.
void config_snapshot_release(ConfigSnapshot& snapshot);

}  // namespace vrk
