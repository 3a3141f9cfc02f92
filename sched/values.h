// Value syntaxes shared by the configuration file and the API: yes/no, retention periods and
// classes, and secret references with the reading of the secret they name.
#pragma once

#include <stdint.h>

#include <span>
#include <string_view>

namespace vrk {

// 1 for "yes"/"true" (any case) or "1"; 0 for "no"/"false" (any case) or "0".
// Returns 0 with flag set, or -1 (flag untouched) for anything else.
[[nodiscard]] int parse_yes_no(std::string_view text, int& flag);

enum class RetentionUnit : uint32_t {
  kForever = 0,
  kDays = 1,
  kWeeks = 2,
  kMonths = 3,
  kYears = 4
};

struct RetentionValue {
  uint32_t count = 0;
  RetentionUnit unit = RetentionUnit::kForever;
};

// 0 when text is "forever" or <n>d|w|m|y within one hundred years; -1 otherwise. out optional.
[[nodiscard]] int retention_parse(std::string_view text, RetentionValue* out);

inline constexpr int kRetentionClassMax = 31;

// At most 31 bytes of a-z, 0-9, '_' and '-'; an empty text is valid.
bool retention_class_valid(std::string_view text);

enum class SecretKind : uint32_t { kLiteral = 0, kFile = 1, kKms = 2 };

// A parsed secret reference; rest borrows from the parsed text (the whole text for a literal).
struct SecretRef {
  SecretKind kind = SecretKind::kLiteral;
  std::string_view rest;
};

// 0, or -1 with "empty secret value", "file: needs a path" or "kms: needs a url" in err
// (err may be empty).
[[nodiscard]] int secret_ref_parse(std::string_view text, SecretRef& ref, std::span<char> err);

inline constexpr int kSecretSize = 65;

// Reads the secret into out (at least 65 bytes, zero-filled beyond the 1..64 secret bytes).
// 0, or kErrInvalid / kErrNotFound / kErrNotSupported. Intermediate buffers are wiped.
[[nodiscard]] int secret_resolve(const SecretRef& ref, std::span<char> out);

}  // namespace vrk
