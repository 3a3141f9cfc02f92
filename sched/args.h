// Splitting a job's args text into tokens: white space separates, double quotes group with \" and
// \\ escapes, single quotes mean nothing. Tokens are heap copies owned by the caller.
#pragma once

#include <span>
#include <string_view>

namespace vrk {

inline constexpr int kArgsMaxTokens = 64;
inline constexpr int kArgsTokenSize = 1024;

// Splits text into at most max_tokens tokens, each a malloc'ed NUL-terminated copy stored in
// tokens[0..n). Returns n (0 for an empty or blank text), or -1 with a message in err and no
// allocation left behind. Requires: tokens has room for max_tokens pointers.
[[nodiscard]] int args_tokenize(std::string_view text, char** tokens, int max_tokens,
                                std::span<char> err);

// Frees tokens[0..count) and nulls them.
void args_free(char** tokens, int count);

}  // namespace vrk
