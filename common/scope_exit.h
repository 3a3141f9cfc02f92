// ScopeExit: runs a release step when the scope ends, so early returns stay safe.
#pragma once

#include <utility>

namespace vrk {

template <typename F>
class ScopeExit {
 public:
  explicit ScopeExit(F f) : f_(std::move(f)) {}
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;
  ~ScopeExit() {
    if (active_) {
      f_();
    }
  }
  void dismiss() { active_ = false; }

 private:
  F f_;
  bool active_ = true;
};

}  // namespace vrk
