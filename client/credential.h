// The client's token file: one API token, name and 43-character secret, either as
// '<name>.<secret>' exactly as 'vrk_sched api-token add' prints it, or as a copy of the token's
// line in the server's tokens file ('<name> <role> <created> <secret>'). Blank lines and lines
// starting with '#' are skipped. The file must not be accessible by group or others.
#pragma once

#include <span>
#include <string_view>
#include <type_traits>

#include "sched/api/tokens.h"

namespace vrk {

inline constexpr size_t kCredentialFileMax = 4096;
inline constexpr size_t kCredentialErrSize = 640;

// Holds a secret: wipe it with secret_wipe when done.
struct ClientToken {
  char name[kTokenNameSize] = {};
  char secret[kTokenSecretSize] = {};
};
static_assert(std::is_trivially_copyable_v<ClientToken>);

// The rules of the file on text already read; path only names the file in messages. 0, or -1
// with one message in err (kCredentialErrSize bytes) and token left empty:
// "%s:%d: expected '<name>.<secret>' or '<name> <role> <created> <secret>'",
// "%s:%d: invalid token name", "%s:%d: malformed secret", "%s:%d: more than one token",
// "%s: no token in the file". No message holds the secret.
[[nodiscard]] int credential_parse(std::string_view text, const char* path, ClientToken& token,
                                   std::span<char> err);

// Reads and parses the file at path. Besides credential_parse's messages: "cannot read %s: %s",
// "%s is not a regular file", "%s must not be accessible by group/others (chmod 600)",
// "%s is larger than %zu bytes".
[[nodiscard]] int credential_load(const char* path, ClientToken& token, std::span<char> err);

}  // namespace vrk
