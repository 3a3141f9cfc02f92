// The API's self-signed TLS certificate: creating it with its P-256 key (key file mode 0600),
// and the SHA-256 fingerprint of a certificate file that clients pin.
#pragma once

namespace vrk {

inline constexpr int kCertFingerprintSize = 96;  // 32 "XX" pairs joined by ':' and a NUL
inline constexpr int kCertValidDays = 3650;

// Creates a P-256 key and an X.509 v3 certificate for it: 16-byte random serial with the top
// bit clear, valid from now for days, subject and issuer CN=cn, one subjectAltName (IP:cn when
// cn is a numeric IPv4 or IPv6 address, else DNS:cn), signed with SHA-256. The key file is
// deleted and created anew with mode 0600; the certificate file is written in place. Returns
// 0; kErrInvalid when a path or cn is null or empty; kErrExists when !force and either file
// exists (nothing is written); kErrIo for any other failure (a key file already written stays).
[[nodiscard]] int cert_create(const char* cert_path, const char* key_path, const char* cn, int days,
                              bool force);

// The SHA-256 of the DER form of the first PEM certificate in cert_path, as 32 upper-case
// hexadecimal pairs separated by ':'. Returns 0; kErrNotFound when the file cannot be opened;
// kErrInvalid when it holds no PEM certificate; kErrIo when the digest fails.
[[nodiscard]] int cert_fingerprint(const char* cert_path,
                                   char (&fingerprint)[kCertFingerprintSize]);

}  // namespace vrk
