// The list command: one row per job with its state, times, exit code and dependencies.
#pragma once

namespace vrk {

// The whole command; never creates, locks or writes the queue file. Returns the exit status.
int cmd_list(const char* config_path, const char* queue_path);

}  // namespace vrk
