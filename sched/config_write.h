// The configuration file as bytes: reading it with its content tag (the HTTP entity tag of
// the API), and replacing it safely. A replacement is written to a temporary file beside the
// configuration, checked with the real loader, kept in a history directory and renamed into
// place, so the file is never left changed, truncated or invalid by a failed request.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <span>
#include <string>
#include <string_view>

namespace vrk {

inline constexpr size_t kConfigMaxBytes = 1048576;  // largest configuration file read
inline constexpr size_t kConfigEtagSize = 67;       // '"', 64 hex digits, '"' and the NUL

// config_write results besides 0.
inline constexpr int kConfigWriteInvalid = -1;  // the text is no valid configuration
inline constexpr int kConfigWriteFailed = -2;   // a file-system or memory failure
inline constexpr int kConfigWriteChanged = -3;  // the file no longer has the expected tag

// The content tag of bytes: the SHA-256 as 64 lower-case hex digits between double quotes.
void config_content_tag(std::string_view bytes, char (&tag)[kConfigEtagSize]);

// Reads the whole file at path into text (owned by the caller; its size is the length) and
// computes its content tag. -1, with text cleared and tag empty, when the file cannot be opened
// or read, is not a regular file, is larger than kConfigMaxBytes or contains a NUL byte, or
// memory runs out. The text may hold a literal password: callers wipe it before releasing it.
[[nodiscard]] int config_read_with_etag(const char* path, std::string& text,
                                        char (&tag)[kConfigEtagSize]);

// Replaces the configuration file at path with text: a temporary "<path>.api-tmp.<pid>" with the
// old file's owner (when root), group and mode is loaded with config_load; unless check_only,
// the old file is copied into history_dir (created 0700; names "%Y%m%dT%H%M%SZ-%03d.cfg" in UTC;
// pruned to history_keep ".cfg" files, never the copy just made; none when history_keep is 0)
// and the temporary file is renamed over path. 0; kConfigWriteInvalid with the loader's message
// (naming path, never the temporary file; also for a text over kConfigMaxBytes); kConfigWriteFailed
// with a message. err: 1024 bytes. On failure the old file is untouched and no temporary file is
// left. Requires: history_dir is not null when history_keep > 0 and check_only is false.
[[nodiscard]] int config_write(const char* path, std::string_view text, const char* history_dir,
                               uint32_t history_keep, bool check_only, std::span<char> err);

// config_write that replaces the file only while it still has the content tag expected_tag
// (the one the change was based on): the file is read again for the history copy and once more
// just before the rename, and when either read gives another tag (or fails) nothing is replaced,
// no copy is kept and the result is kConfigWriteChanged ("%s was changed since it was read").
// A null expected_tag is plain config_write.
[[nodiscard]] int config_write_if_unchanged(const char* path, std::string_view text,
                                            const char* expected_tag, const char* history_dir,
                                            uint32_t history_keep, bool check_only,
                                            std::span<char> err);

}  // namespace vrk
