// Fuzz target: the log chunk query and the chunk end. The input is taken as a query; then its
// first byte chooses a length of 1 to 8 and whether the log is finished, and the rest is read at
// the chunk's offset: a chunk is never longer than what was read, never longer than the length
// unless it is one whole character, and empty only at the end of a log still being written.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <span>
#include <string_view>

#include "common/text.h"
#include "sched/api/runs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int64_t offset = -1;
  int64_t length = -1;
  if (vrk::api_log_query_parse(std::string_view(reinterpret_cast<const char*>(data), size), offset,
                               length)) {
    if (offset < -1 || length < -1 || offset > 999999999999 || length > 999999999999) {
      abort();
    }
  }
  if (size == 0) {
    return 0;
  }
  const size_t want = 1 + (data[0] & 7);
  const bool finished = (data[0] & 8) != 0;
  const bool at_end = (data[0] & 16) != 0;
  std::span<const unsigned char> read(data + 1, std::min(size - 1, std::max<size_t>(want, 4)));
  const uint64_t rest = at_end ? read.size() : read.size() + 1;
  const size_t n = vrk::api_log_chunk_length(read, want, rest, finished);
  if (n > read.size()) {
    abort();
  }
  if (n > want && vrk::utf8_sequence_length(read.data(), read.size()) != n) {
    abort();
  }
  if (n == 0 && !read.empty() && !(at_end && !finished)) {
    abort();
  }
  return 0;
}
