// SHA-256 of a memory block through the crypto library, and its lower-case hexadecimal form.
// The digest algorithm is fetched once and kept for the life of the process.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace vrk {

// One-shot SHA-256 of size bytes at data into digest. Never fails for the caller: when the
// crypto library cannot compute it, prints "fatal: OpenSSL SHA-256 failed" and aborts.
void sha256(const void* data, size_t size, uint8_t (&digest)[32]);

// 64 lower-case hexadecimal digits (high nibble first) and a NUL.
void sha256_hex(const uint8_t (&digest)[32], char (&hex)[65]);

}  // namespace vrk
