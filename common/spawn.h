// Starting a program in its own process group and waiting for it under a time limit and a
// cancel callback. SpawnStatus is the outcome of one call; it is reset at the start of each.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <type_traits>

namespace vrk {

// Called between checks of the child; a non-zero answer asks to stop the program.
using SpawnIdleFn = int (*)(void*);

struct SpawnStatus {
  int32_t exit_code = -1;  // -1 when the program was ended by a signal
  uint32_t timed_out = 0;
  uint32_t cancelled = 0;
};
static_assert(std::is_trivially_copyable_v<SpawnStatus>);

inline constexpr int kSpawnPollMs = 50;
// SIGKILL follows SIGTERM once more than this many seconds have passed (so about 300 s).
inline constexpr int64_t kSpawnKillGraceSeconds = 299;
inline constexpr int kSpawnExecFailedStatus = 127;
// The most argv elements spawn_wait starts a program with (the child's small stack holds the
// PATH search and, for a script without "#!", a copy of the vector); more is refused like a
// failed fork. Jobs pass a few dozen.
inline constexpr size_t kSpawnMaxArgs = 4096;
inline constexpr const char* kSpawnEnvSuppressFdWarnings = "LVM_SUPPRESS_FD_WARNINGS=1";

// Runs argv (NULL-terminated; argv[0] looked up through PATH) with output_fd as its standard
// output and standard error (negative: both inherited; standard input always is), in a new
// process group, and waits for it: returns as soon as it ends, and calls idle_callback
// (optional) about every 50 ms and at once when a signal interrupts the wait. Stops it with
// SIGTERM, then SIGCONT so that a stopped program can act on it, to the group and the child when
// timeout_seconds have passed or idle_callback answers non-zero, and with SIGKILL when it
// outlives the grace period. Returns 0 once the program has ended (exit status 127 when it
// could not be executed), -1 when it could not be started (fork failed, or more than
// kSpawnMaxArgs elements).
[[nodiscard]] int spawn_wait(const char* const* argv, uint32_t timeout_seconds, int output_fd,
                             SpawnIdleFn idle_callback, void* callback_context,
                             SpawnStatus& status);

// spawn_wait with the SIGKILL grace period as a parameter (spawn_wait passes
// kSpawnKillGraceSeconds); lets tests check the kill path without waiting five minutes.
[[nodiscard]] int spawn_wait_grace(const char* const* argv, uint32_t timeout_seconds, int output_fd,
                                   SpawnIdleFn idle_callback, void* callback_context,
                                   int64_t kill_grace_seconds, SpawnStatus& status);

// Answers the descriptor whose readability should bring the idle callback forward, or -1 for
// none. Asked before every wait, so a descriptor that the idle callback closed or replaced is
// never watched stale.
using SpawnWakeFdFn = int (*)(void*);

// How spawn_wait_with waits; the defaults are spawn_wait's.
struct SpawnWaitOptions {
  SpawnIdleFn idle_callback = nullptr;
  void* callback_context = nullptr;  // handed to both callbacks
  SpawnWakeFdFn wake_fd = nullptr;
  int64_t kill_grace_seconds = kSpawnKillGraceSeconds;
};

// spawn_wait that also calls the idle callback at once when the wake descriptor becomes readable
// (then keeps the 50 ms cadence). The callback should consume what woke it: a descriptor that
// stays readable is looked at again at most once a millisecond.
[[nodiscard]] int spawn_wait_with(const char* const* argv, uint32_t timeout_seconds, int output_fd,
                                  const SpawnWaitOptions& options, SpawnStatus& status);

}  // namespace vrk
