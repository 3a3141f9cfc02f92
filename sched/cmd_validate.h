// The validate command: load the configuration and dry-run every job's argument vector.
#pragma once

namespace vrk {

// Prints "OK: <n> job(s)" (exit 0) or the first error on standard error (exit 1).
int cmd_validate(const char* config_path);

}  // namespace vrk
