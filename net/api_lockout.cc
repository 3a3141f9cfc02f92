#include "net/api_lockout.h"

#include "common/log.h"
#include "common/text.h"

namespace vrk {

namespace {

constexpr size_t kNotFound = kApiLockout.entries;

size_t find_entry(const ApiLockout& table, std::string_view address) {
  for (size_t i = 0; i < kApiLockout.entries; ++i) {
    const ApiLockoutEntry& e = table.entries[i];
    if (e.address[0] != '\0' && text_view(e.address) == address) {
      return i;
    }
  }
  return kNotFound;
}

// A never-used record if there is one, else the one whose window started first.
ApiLockoutEntry& make_room(ApiLockout& table) {
  ApiLockoutEntry* victim = &table.entries[0];
  for (ApiLockoutEntry& e : table.entries) {
    if (e.address[0] == '\0') {
      return e;
    }
    if (e.window_start < victim->window_start) {
      victim = &e;
    }
  }
  return *victim;
}

}  // namespace

bool api_lockout_locked(const ApiLockout& table, std::string_view address, int64_t now) {
  size_t i = find_entry(table, address);
  return i != kNotFound && table.entries[i].locked_until > now;
}

bool api_lockout_fail(ApiLockout& table, std::string_view address, int64_t now) {
  size_t i = find_entry(table, address);
  bool fresh = i == kNotFound;
  ApiLockoutEntry* e = fresh ? nullptr : &table.entries[i];
  if (fresh) {
    e = &make_room(table);
    *e = ApiLockoutEntry{};
    text_copy_cut(e->address, address);
  }
  if (fresh || now - e->window_start > kApiLockout.window_s) {
    e->window_start = now;
    e->failures = 1;
  } else {
    ++e->failures;
  }
  if (e->failures < kApiLockout.failures) {
    return false;
  }
  e->locked_until = now + kApiLockout.lock_s;
  e->window_start = now;
  e->failures = 0;
  log_msg(kLogWarn, "vrk_sched_net: API: %s locked out for %d s after %d failed logins", e->address,
          static_cast<int>(kApiLockout.lock_s), static_cast<int>(kApiLockout.failures));
  return true;
}

}  // namespace vrk
