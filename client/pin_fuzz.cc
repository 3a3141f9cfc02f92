// Fuzz target: the fingerprint text. Checks the result code and message, and that an accepted
// text is the digest's pairs joined by ':' in either case.
#include <ctype.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string_view>

#include "client/pin.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  vrk::CertPin pin;
  char err[vrk::kPinErrSize];
  int rc = vrk::pin_parse(text, pin, err);
  if (rc != 0) {
    if (rc != -1 || err[0] == '\0' || memchr(err, '\0', sizeof err) == nullptr) {
      __builtin_trap();
    }
    return 0;
  }
  if (text.size() != vrk::kPinTextLength) {
    __builtin_trap();
  }
  for (size_t i = 0; i < 32; ++i) {
    char pair[3];
    snprintf(pair, sizeof pair, "%02X", pin.digest[i]);
    if (toupper(static_cast<unsigned char>(text[3 * i])) != pair[0] ||
        toupper(static_cast<unsigned char>(text[3 * i + 1])) != pair[1]) {
      __builtin_trap();
    }
  }
  return 0;
}
