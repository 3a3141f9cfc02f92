// Text-preserving edits of the configuration file's sections: read one value, replace one
// section's settings, remove a section. Lines the edit does not touch (other sections,
// comments, blank lines, key order, spacing, line endings) are copied byte for byte. Inputs are
// never changed; results are new texts owned by the caller.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace vrk {

inline constexpr size_t kIniValueMax = 1023;  // longest writable value or section name
inline constexpr size_t kIniKeyMax = 63;      // longest key a key line may have

// One setting of a section: a key and its (unquoted) value.
struct SettingPair {
  std::string_view key;
  std::string_view value;
};

// True when v may be written as a value or section name: 1..1023 bytes, no white space at
// either end, no byte below 32 and no 127 (bytes of 128 and above are fine).
bool ini_value_writable(std::string_view v);

// True when text has a section header [name].
bool ini_has_section(std::string_view text, std::string_view name);

// Copies the unquoted value of the first line in section whose key is key and whose value is
// shorter than out into out. False (out empty) when there is none.
bool ini_get_value(std::string_view text, std::string_view section, std::string_view key,
                   std::span<char> out);

// out = text with section holding exactly pairs, in place where keys already exist (keeping
// their comments and line ends), appended after the section's last key line otherwise; a
// missing section is appended at the end. New lines end like the text's first line (CRLF or
// LF). 0; kErrInvalid when the section name or a value is not writable, the name holds '[' or
// ']', a key is not writable, over 63 bytes or holds one of "=#;[]", a blank or a line break,
// or a key is given twice; kErrNoMem. On failure out is empty.
[[nodiscard]] int ini_set_section(std::string_view text, std::string_view section,
                                  std::span<const SettingPair> pairs, std::string& out);

// out = text without section (its header and every line up to the next header); the result
// may be empty. 0; kErrNotFound when there is no such section; kErrNoMem. On failure out is
// empty.
[[nodiscard]] int ini_remove_section(std::string_view text, std::string_view section,
                                     std::string& out);

}  // namespace vrk
