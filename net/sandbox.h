// The network process's sandbox: not dumpable, no new privileges, and a seccomp deny list that
// takes away program execution, tracing, mounting, namespaces, module and key management while
// leaving ordinary file, socket and memory calls to the TLS and mail libraries.
#pragma once

#include <linux/filter.h>
#include <stddef.h>

#include <span>

namespace vrk {

// One denied x86-64 system call; the name is for messages and tests.
struct SandboxCall {
  int nr;
  const char* name;
};

inline constexpr size_t kSandboxDeniedCount = 33;

// The denied calls (kSandboxDeniedCount entries), in the order the filter tests them.
std::span<const SandboxCall> sandbox_denied_calls();

// Architecture check (4 with the number load), the x32 range (2), two per denied call, allow.
inline constexpr size_t kSandboxFilterLength = 4 + 2 + 2 * kSandboxDeniedCount + 1;

// The filter program (kSandboxFilterLength instructions, static storage).
std::span<const sock_filter> sandbox_filter();

// Marks the process not dumpable, sets no-new-privileges and installs the filter. Returns 0, or
// -1 with "PR_SET_DUMPABLE: %s", "PR_SET_NO_NEW_PRIVS: %s" or "seccomp: %s" (the system's error
// text) in err. Irreversible: afterwards execve and the other denied calls fail with EPERM.
int sandbox_enter(std::span<char> err);

}  // namespace vrk
