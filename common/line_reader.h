// Reading a text line by line, from memory or from a file read in chunks into the caller's
// buffer. The buffer always holds at least one whole line or the rest of the file, so "no line
// feed within line_max bytes while more data follows" is decided without reading ahead twice.
#pragma once

#include <stddef.h>

#include <string_view>

#include "common/fd.h"

namespace vrk {

// Set either rest to the text (fd < 0, eof true) or fd, buf and cap (cap > line_max) with rest
// empty at buf and eof false. line_max counts a line's bytes with its line feed.
struct LineReader {
  int fd = -1;
  char* buf = nullptr;
  size_t cap = 0;
  size_t line_max = 0;
  std::string_view rest;
  bool eof = true;
  UniqueFd* file = nullptr;  // optional: closed as soon as the last line has been read
  // How much of buf has ever held file data: a caller wiping a secret-bearing buffer needs to
  // clear only that much (and leaves the untouched rest of a large buffer unfaulted).
  size_t filled = 0;
};

enum class LineResult { kLine, kEnd, kTooLong, kReadError };

// The next line into line (with its line feed; the last line may lack one), pointing into the
// text or the buffer until the next call. kTooLong: no line feed within line_max bytes while
// more follows. kReadError: the file could not be read on (not the end of the file).
LineResult line_reader_next(LineReader& r, std::string_view& line);

}  // namespace vrk
