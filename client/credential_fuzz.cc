// Fuzz target: the client's token file rules. Checks the result code and message, that a failed
// parse leaves the token empty, and that a parsed token written as '<name>.<secret>' parses to
// the same token.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <string_view>

#include "client/credential.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  vrk::ClientToken token;
  char err[vrk::kCredentialErrSize];
  int rc = vrk::credential_parse(text, "fuzz", token, err);
  if (rc != 0) {
    if (rc != -1 || err[0] == '\0' || memchr(err, '\0', sizeof err) == nullptr ||
        token.name[0] != '\0' || token.secret[0] != '\0') {
      __builtin_trap();
    }
    return 0;
  }
  std::string again = std::string(token.name) + "." + token.secret;
  vrk::ClientToken second;
  if (vrk::credential_parse(again, "fuzz", second, err) != 0 ||
      strcmp(token.name, second.name) != 0 || strcmp(token.secret, second.secret) != 0) {
    __builtin_trap();
  }
  return 0;
}
