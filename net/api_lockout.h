// The lock-out table of the HTTPS front end: per client address, failed logins counted in a
// window; too many lock the address for a while. A fixed table of kApiLockout.entries records;
// when it is full the record with the oldest window makes room. Times are wall-clock seconds
// passed in by the caller.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string_view>
#include <type_traits>

#include "common/ipc.h"

namespace vrk {

struct ApiLockoutLimits {
  int64_t window_s;   // failures are counted within this many seconds
  uint32_t failures;  // this many failures in one window lock the address
  int64_t lock_s;     // for this many seconds
  size_t entries;     // addresses tracked at once
};
inline constexpr ApiLockoutLimits kApiLockout = {600, 10, 60, 256};

struct ApiLockoutEntry {
  char address[kIpcClientAddressSize] = {};  // empty: never used
  int64_t window_start = 0;
  uint32_t failures = 0;
  int64_t locked_until = 0;
};

struct ApiLockout {
  ApiLockoutEntry entries[kApiLockout.entries] = {};
};
static_assert(std::is_trivially_copyable_v<ApiLockout>);

// True while address is locked out at time now.
bool api_lockout_locked(const ApiLockout& table, std::string_view address, int64_t now);

// Counts one failed login of address at time now. When it is the kApiLockout.failures-th of its
// window, locks the address for kApiLockout.lock_s seconds, starts a new window with no failures,
// logs WARN "vrk_sched_net: API: %s locked out for %d s after %d failed logins" and returns true.
bool api_lockout_fail(ApiLockout& table, std::string_view address, int64_t now);

}  // namespace vrk
