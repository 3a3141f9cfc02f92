// API tokens: ApiToken (name, role, creation time, 43-character secret) and the TokenTable of
// at most 256 of them in file order with unique names, kept in the root-only tokens file. A
// table holds secrets: it is wiped, not merely dropped, whenever a load fails.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <span>
#include <string_view>
#include <type_traits>

namespace vrk {

inline constexpr int kTokenNameSize = 65;    // 1..64 characters of [A-Za-z0-9_-]
inline constexpr int kTokenSecretSize = 44;  // exactly 43 base64url characters
inline constexpr int kTokenTableMax = 256;
inline constexpr int kTokenFileErrSize = 1024;  // fits every loader and saver message
// The two header lines and 256 lines "<name> <role> <created> <secret>\n" at their longest, and
// room for the NUL that composing leaves behind.
inline constexpr size_t kTokenFileMaxBytes =
    144 + kTokenTableMax * (64 + 1 + 5 + 1 + 20 + 1 + 43 + 1) + 1;

enum class TokenRole : uint32_t {
  kRead = 0,
  kAdmin = 1,
};

struct ApiToken {
  char name[kTokenNameSize] = {};
  TokenRole role = TokenRole::kRead;
  int64_t created = 0;
  char secret[kTokenSecretSize] = {};
};
static_assert(std::is_trivially_copyable_v<ApiToken>);

// About 32 KB; callers that keep one beside other state allocate it on the heap.
struct TokenTable {
  ApiToken tokens[kTokenTableMax] = {};
  uint64_t count = 0;
};
static_assert(std::is_trivially_copyable_v<TokenTable>);

// The tokens file's status at one look: a change of any field means the file may have changed.
// The change time is part of it so that a permission change alone (the chmod 600 that a refused
// file asks for) is noticed too. All zero when the file's status could not be had.
struct TokenFileStamp {
  int64_t mtime_sec = 0;
  int64_t mtime_nsec = 0;
  int64_t ctime_sec = 0;
  int64_t ctime_nsec = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
};
static_assert(std::is_trivially_copyable_v<TokenFileStamp>);

// Loads the tokens file at path into table (wiped first). A symbolic link is not followed; the
// file must be a regular file without group or other permission bits. An absent file gives 0
// and an empty table. Returns 0, or -1 with one message in err (kTokenFileErrSize bytes hold
// every message) and the table wiped. No message ever holds a secret.
[[nodiscard]] int token_file_load(const char* path, TokenTable& table, std::span<char> err);

// token_file_load that first fills stamp as token_file_stamp does, whatever the outcome: a file
// refused for its contents or permissions is looked at again once its stamp changes (chmod 600
// changes the change time). A change between the stamp and the read only causes one more load.
[[nodiscard]] int token_file_load_stamped(const char* path, TokenTable& table,
                                          TokenFileStamp& stamp, std::span<char> err);

// The line rules of token_file_load on text already read; path is only used in messages.
[[nodiscard]] int token_file_parse(std::string_view text, const char* path, TokenTable& table,
                                   std::span<char> err);

// The status of the file at path without opening it or following a final symbolic link; all
// zero (inode 0) when it cannot be had, for example when the file does not exist.
void token_file_stamp(const char* path, TokenFileStamp& stamp);

// True when every field of a and b is equal.
bool token_file_stamp_same(const TokenFileStamp& a, const TokenFileStamp& b);

// Replaces the tokens file at path with the header lines and one line per token of table: a
// temporary file "<path>.tmp.<pid>" of mode 0600 is written, synced and renamed over path. 0,
// or -1 with one message in err; on failure the old file is untouched and the temporary file
// removed.
[[nodiscard]] int token_file_save(const char* path, const TokenTable& table, std::span<char> err);

// The text token_file_save writes: the two header lines, then "%s %s %lld %s\n" (name, role
// name, created, secret) per token in table order. 0 with used set to its length, or -1 when
// the table's count is over 256 or out is too small (kTokenFileMaxBytes always suffices).
// The text holds every secret: the caller wipes out.
[[nodiscard]] int token_file_compose(const TokenTable& table, std::span<char> out, size_t& used);

// A new secret: 32 random bytes as 43 base64url characters and a NUL. 0, or -1 when the random
// generator fails (secret is then left untouched).
[[nodiscard]] int token_generate_secret(char (&secret)[kTokenSecretSize]);

// 1 to 64 characters, each alphanumeric, '_' or '-'.
bool token_name_valid(std::string_view name);

// The entry whose name equals name exactly, or nullptr.
const ApiToken* token_find(const TokenTable& table, std::string_view name);

// 0 with role set for "read" or "admin"; -1 (role untouched) for anything else.
[[nodiscard]] int role_parse(std::string_view text, TokenRole& role);

// "admin" for kAdmin, "read" for any other value.
const char* role_name(TokenRole role);

}  // namespace vrk
