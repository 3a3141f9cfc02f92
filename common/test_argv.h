// Test helper: an argv built from words, owning its strings, for option-parsing tests.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

namespace vrk {

struct TestArgv {
  explicit TestArgv(std::initializer_list<const char*> words) {
    for (const char* w : words) {
      store.emplace_back(w);
    }
    for (std::string& s : store) {
      ptrs.push_back(s.data());
    }
    ptrs.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(store.size()); }
  char** argv() { return ptrs.data(); }
  std::vector<std::string> store;
  std::vector<char*> ptrs;
};

}  // namespace vrk
