#include "common/line_reader.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

namespace vrk {
namespace {

bool line_reader_fill(LineReader& r) {
  size_t have = r.rest.size();
  if (have > 0 && r.rest.data() != r.buf) {
    memmove(r.buf, r.rest.data(), have);
  }
  while (have <= r.line_max && !r.eof) {
    ssize_t n = read(r.fd, r.buf + have, r.cap - have);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;  // a read error is not the end of the file
    }
    if (n == 0) {
      r.eof = true;
    }
    have += static_cast<size_t>(n);
  }
  if (have > r.filled) {
    r.filled = have;
  }
  r.rest = std::string_view(r.buf, have);
  return true;
}

}  // namespace

LineResult line_reader_next(LineReader& r, std::string_view& line) {
  if (!r.eof && r.rest.size() <= r.line_max && !line_reader_fill(r)) {
    return LineResult::kReadError;
  }
  size_t limit = r.rest.size() < r.line_max ? r.rest.size() : r.line_max;
  const void* lf = memchr(r.rest.data(), '\n', limit);
  size_t len = 0;
  if (lf != nullptr) {
    len = static_cast<size_t>(static_cast<const char*>(lf) - r.rest.data()) + 1;
  } else if (r.rest.size() > limit) {
    return LineResult::kTooLong;
  } else if (r.rest.empty()) {
    if (r.file != nullptr) {
      r.file->reset();
    }
    return LineResult::kEnd;
  } else {
    len = r.rest.size();  // the last line, without a line feed
  }
  line = r.rest.substr(0, len);
  r.rest.remove_prefix(len);
  return LineResult::kLine;
}

}  // namespace vrk
