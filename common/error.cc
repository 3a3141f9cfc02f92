#include "common/error.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>

namespace vrk {

const char* error_text(int kind) {
  switch (kind) {
    case kErrOk:
      return "ok";
    case kErrIo:
      return "I/O error";
    case kErrNoMem:
      return "out of memory";
    case kErrInvalid:
      return "invalid argument or request";
    case kErrNotFound:
      return "not found";
    case kErrExists:
      return "already exists";
    case kErrNotSupported:
      return "not supported";
    case kErrCorrupt:
      return "corrupt or inconsistent data";
    case kErrProtocol:
      return "protocol error";
    case kErrAgain:
      return "temporarily unavailable";
    case kErrDecrypt:
      return "decryption failed (wrong key or corrupted data)";
    default:
      return "unknown error";
  }
}

int error_from_errno(int errnum) {
  switch (errnum) {
    case ENOENT:
      return kErrNotFound;
    case EEXIST:
      return kErrExists;
    case ENOMEM:
      return kErrNoMem;
    case EINVAL:
      return kErrInvalid;
    case EAGAIN:
      return kErrAgain;
    default:
      return kErrIo;
  }
}

void err_set(std::span<char> err, const char* fmt, ...) {
  if (err.empty()) {
    return;
  }
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(err.data(), err.size(), fmt, ap);
  va_end(ap);
}

}  // namespace vrk
