// Dropping root for good: switch a root process to a named unprivileged account (group list,
// group, user) and prove that root cannot be regained.
#pragma once

namespace vrk {

// Switches to account_name when the effective user is root; does nothing otherwise. Returns 0
// on success or when not root, -1 on failure (the reason is already logged at ERROR).
[[nodiscard]] int drop_privileges(const char* account_name);

}  // namespace vrk
