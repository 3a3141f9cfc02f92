// The mail-test command: one test mail with the [mail] settings.
#pragma once

namespace vrk {

// Prints "OK" (exit 0) or "error: ..." (exit 1).
int cmd_mailtest(const char* config_path);

}  // namespace vrk
