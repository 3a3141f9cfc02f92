// Fuzz target: the log chunk query, the chunk end and the chunk's "data". The input is taken as a
// query; then its first byte chooses a length of 1 to 8 and whether the log is finished, and the
// rest is read at the chunk's offset: a chunk is never longer than what was read, never longer
// than the length unless it is one whole character, and empty only at the end of a log still
// being written. The rest written as a JSON string with a limit parses back to the bytes it
// consumed when those are valid UTF-8 without NUL.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <span>
#include <string_view>

#include "common/text.h"
#include "sched/api/json_reader.h"
#include "sched/api/json_writer.h"
#include "sched/api/runs.h"

namespace {

bool plain_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    size_t n = vrk::utf8_sequence_length(reinterpret_cast<const unsigned char*>(s.data() + i),
                                         s.size() - i);
    if (n == 0 || s[i] == '\0') {
      return false;
    }
    i += n;
  }
  return true;
}

void check_data(std::string_view rest, size_t limit) {
  static char out[vrk::kApiResponseSize];
  vrk::JsonWriter w;
  vrk::json_writer_init(w, out, sizeof out);
  const size_t consumed = vrk::json_string(w, rest.data(), rest.size(), limit);
  if (consumed > rest.size() || (limit != 0 && w.length > limit + 2)) {
    abort();
  }
  // The reader keeps decoded strings under 64 KiB.
  if (w.overflow != 0 || w.length >= vrk::kJsonStringSize) {
    return;
  }
  const std::string_view want = rest.substr(0, consumed);
  vrk::JsonValue* root = nullptr;
  char err[vrk::kApiJsonErrSize];
  if (vrk::json_parse(std::string_view(out, w.length), w.length, 1, 1, root, err) != 0) {
    // The reader refuses a NUL in a string; anything else must read back.
    if (want.find('\0') == std::string_view::npos) {
      abort();
    }
    return;
  }
  if (plain_utf8(want) && root->text != want) {
    abort();
  }
  vrk::json_value_free(root);
}

}  // namespace

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
  std::string_view tail(reinterpret_cast<const char*>(data + 1), size - 1);
  check_data(tail, (data[0] & 32) != 0 ? 0 : 1 + (data[0] >> 6) * 7);
  return 0;
}
