// Test helper: pins TZ for the life of the object and puts the previous value back, calling
// tzset each time, so local-time tests do not depend on each other or on the machine.
#pragma once

#include <stdlib.h>
#include <time.h>

#include <string>

namespace vrk {

class TestTz {
 public:
  explicit TestTz(const char* tz) {
    const char* old = getenv("TZ");
    had_ = old != nullptr;
    if (had_) {
      old_ = old;
    }
    set(tz);
  }
  TestTz(const TestTz&) = delete;
  TestTz& operator=(const TestTz&) = delete;
  ~TestTz() {
    if (had_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  static void set(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

}  // namespace vrk
