// Error kinds shared by both programs: small negative numbers with one fixed text each, plus the
// one helper every function uses to write its message into a caller-supplied buffer.
#pragma once

#include <span>

namespace vrk {

inline constexpr int kErrOk = 0;
inline constexpr int kErrIo = -1;
inline constexpr int kErrNoMem = -2;
inline constexpr int kErrInvalid = -3;
inline constexpr int kErrNotFound = -4;
inline constexpr int kErrExists = -5;
inline constexpr int kErrNotSupported = -6;
inline constexpr int kErrCorrupt = -7;
inline constexpr int kErrProtocol = -8;
inline constexpr int kErrAgain = -9;
inline constexpr int kErrDecrypt = -10;

// The fixed text of an error kind; "unknown error" for any other value. Never null.
const char* error_text(int kind);

// Maps an errno value to an error kind (ENOENT, EEXIST, ENOMEM, EINVAL, EAGAIN; all else kErrIo).
int error_from_errno(int errnum);

// printf-style write into err, cut silently; an empty span is accepted and left alone.
// Requires: no argument points into err.
[[gnu::format(printf, 2, 3)]] void err_set(std::span<char> err, const char* fmt, ...);

}  // namespace vrk
