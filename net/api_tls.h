// The TLS server context of the HTTPS front end, built from the certificate chain and private
// key PEM texts of API_CONFIG: TLS 1.2 at least, no renegotiation, server cipher preference, no
// compression, no session cache and no tickets (every connection does a full handshake).
#pragma once

#include <span>
#include <string_view>

#include "common/handles.h"

namespace vrk {

// Builds a context from cert_pem (the server certificate, then any further certificates of its
// chain, sent after it) and key_pem (the certificate's private key, not encrypted). On success
// ctx holds the new context and the old one is released (sessions made from it keep it alive);
// 0. On failure ctx is unchanged, -1 and err (128 bytes are enough) says "SSL_CTX_new failed" or
// "the API certificate/key cannot be used (not PEM, or they do not belong together)". The key
// is never written anywhere.
[[nodiscard]] int api_tls_context_new(std::string_view cert_pem, std::string_view key_pem,
                                      SslCtxPtr& ctx, std::span<char> err);

}  // namespace vrk
