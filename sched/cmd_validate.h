// The validate command: loads the configuration exactly as the daemon does and builds every
// job's argument vector as a dry run; it never touches the queue state or runs a job.
#pragma once

namespace vrk {

// Returns the exit status: 0 after "OK: <n> job(s)" on standard output, 1 after an "error:"
// line on standard error (the configuration does not load, or a job's vector cannot be built).
int cmd_validate(const char* config_path);

}  // namespace vrk
