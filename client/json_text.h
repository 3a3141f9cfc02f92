// Work on the raw text of a JSON document that json_parse has already accepted: re-indenting it
// for a terminal, and finding the raw text of a top-level member or of an array's elements, so
// the server's bytes (numbers, escapes) are passed on unchanged.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vrk {

// raw re-indented by two spaces per level, one member or element per line, ": " after names,
// empty containers as "{}" and "[]", and a final line feed.
// Requires: raw is valid JSON.
void json_text_pretty(std::string_view raw, std::string& out);

// The raw value of the member named key of the top-level object raw (names compared as written
// between their quotes). False when raw is no object or has no such member.
// Requires: raw is valid JSON.
bool json_text_member(std::string_view raw, std::string_view key, std::string_view& value);

// The raw elements of the array raw, in order. False when raw is no array.
// Requires: raw is valid JSON.
bool json_text_items(std::string_view raw, std::vector<std::string_view>& items);

// The object raw with the member key: text (a JSON string) put first, into out (replaced).
// Requires: raw is a valid JSON object.
void json_text_prepend_member(std::string_view raw, std::string_view key, std::string_view text,
                              std::string& out);

// Appends text as a JSON string with its quotes: '"', '\' and bytes below 0x20 escaped.
void json_text_quote(std::string_view text, std::string& out);

}  // namespace vrk
