#include "common/line_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/fd.h"

namespace vrk {
namespace {

TEST(LineReaderNext, FilledCoversEveryByteReadFromTheFile) {
  // Callers wipe only the first `filled` bytes of a buffer that held a secret: no file byte may
  // ever land beyond it.
  struct Case {
    const char* name;
    std::string text;
    size_t cap;
    size_t line_max;
  };
  std::string many;
  for (int i = 0; i < 40; ++i) {
    many += std::string(static_cast<size_t>(50 + i * 7), static_cast<char>('a' + i % 26)) + "\n";
  }
  const Case cases[] = {
      {"empty", "", 4096, 1024},
      {"one short line in a large buffer", "[job]\ncommand = agent\n", 4096, 1024},
      {"last line without line feed", "a\nbc", 64, 16},
      {"text larger than the buffer", many, 1024, 512},
  };
  constexpr char kUnused = '\x7f';
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int fds[2] = {-1, -1};
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    UniqueFd r(fds[0]);
    {
      UniqueFd w(fds[1]);
      ASSERT_EQ(write(w.get(), c.text.data(), c.text.size()), static_cast<ssize_t>(c.text.size()));
    }
    std::vector<char> buf(c.cap, kUnused);
    LineReader reader;
    reader.fd = r.get();
    reader.buf = buf.data();
    reader.cap = buf.size();
    reader.line_max = c.line_max;
    reader.rest = std::string_view(buf.data(), 0);
    reader.eof = false;
    std::string got;
    std::string_view line;
    LineResult res;
    while ((res = line_reader_next(reader, line)) == LineResult::kLine) {
      got.append(line);
    }
    EXPECT_EQ(res, LineResult::kEnd);
    EXPECT_EQ(got, c.text);
    EXPECT_LE(reader.filled, c.cap);
    EXPECT_GE(reader.filled, std::min(c.text.size(), c.cap));
    size_t stray = 0;
    for (size_t i = reader.filled; i < buf.size(); ++i) {
      stray += buf[i] != kUnused ? 1 : 0;
    }
    EXPECT_EQ(stray, 0u);
  }
}

}  // namespace
}  // namespace vrk
