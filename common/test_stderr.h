// Test helper: captures what this process (log_msg) and any child sharing its standard error
// write there, from construction until text() or destruction.
#pragma once

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "common/fd.h"

namespace vrk {

class StderrCapture {
 public:
  StderrCapture() {
    char path[] = "/tmp/vrk_stderr_XXXXXX";
    file_.reset(mkostemp(path, O_CLOEXEC));
    unlink(path);
    fflush(stderr);
    saved_.reset(dup(STDERR_FILENO));
    dup2(file_.get(), STDERR_FILENO);
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  ~StderrCapture() { restore(); }
  // Everything written, capture ended.
  std::string text() {
    restore();
    return peek();
  }
  // What was written so far, capture still on.
  std::string peek() {
    fflush(stderr);
    std::string out;
    char buf[4096];
    ssize_t n;
    off_t off = 0;
    while ((n = pread(file_.get(), buf, sizeof buf, off)) > 0) {
      out.append(buf, static_cast<size_t>(n));
      off += n;
    }
    return out;
  }

 private:
  void restore() {
    if (saved_.valid()) {
      fflush(stderr);
      dup2(saved_.get(), STDERR_FILENO);
      saved_.reset();
    }
  }
  UniqueFd file_;
  UniqueFd saved_;
};

}  // namespace vrk
