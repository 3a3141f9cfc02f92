#include "sched/args.h"

#include <stdlib.h>
#include <string.h>

#include "common/error.h"
#include "common/text.h"

namespace vrk {

namespace {

inline constexpr size_t kArgsTokenMax = kArgsTokenSize - 1;

// The token being collected, bounded by the token limit.
struct ArgsToken {
  char text[kArgsTokenSize];
  size_t len = 0;

  bool add(char c) {
    if (len >= kArgsTokenMax) {
      return false;
    }
    text[len++] = c;
    return true;
  }
};

}  // namespace

// Left to right:
//   text   := { space } [ token { space } ]...
//   token  := '"' { '\"' | '\\' | other } '"'   (quoted; ends at its closing quote)
//           | non-space { non-space }           (plain; quotes are ordinary characters)
// A backslash before anything but '"' or '\' is kept as written.
int args_tokenize(std::string_view text, char** tokens, int max_tokens, std::span<char> err) {
  if (!err.empty()) {
    err[0] = '\0';
  }
  int n = 0;
  auto fail = [&](const char* msg) {
    args_free(tokens, n);
    err_set(err, "%s", msg);
    return -1;
  };

  ArgsToken tok;
  size_t i = 0;
  while (i < text.size()) {
    if (text_is_space(text[i])) {
      ++i;
      continue;
    }
    if (n >= max_tokens) {
      return fail("too many tokens in 'args'");
    }
    tok.len = 0;
    if (text[i] == '"') {
      ++i;
      bool closed = false;
      while (i < text.size()) {
        char c = text[i];
        if (c == '"') {
          ++i;
          closed = true;
          break;
        }
        if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '"' || text[i + 1] == '\\')) {
          c = text[i + 1];
          ++i;
        }
        ++i;
        if (!tok.add(c)) {
          return fail("token too long in 'args'");
        }
      }
      if (!closed) {
        return fail("unterminated quote in 'args'");
      }
    } else {
      while (i < text.size() && !text_is_space(text[i])) {
        if (!tok.add(text[i])) {
          return fail("token too long in 'args'");
        }
        ++i;
      }
    }
    char* copy = static_cast<char*>(malloc(tok.len + 1));
    if (copy == nullptr) {
      return fail("out of memory");
    }
    memcpy(copy, tok.text, tok.len);
    copy[tok.len] = '\0';
    tokens[n++] = copy;
  }
  return n;
}

void args_free(char** tokens, int count) {
  for (int i = 0; i < count; ++i) {
    free(tokens[i]);
    tokens[i] = nullptr;
  }
}

}  // namespace vrk
