// IPC messages between vrk_sched and vrk_sched_net: one message per SOCK_SEQPACKET datagram, a
// 16-byte header and tag/length/value records, at most 65536 bytes in all. One builder and one
// strict parser per message type, both driven by that message's table of fields; both programs
// link this same codec, so both ends accept and refuse exactly the same bytes. Builders refuse
// every value their parser would refuse.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <span>
#include <string_view>
#include <type_traits>

#include "common/mail_settings.h"
#include "common/secret_text.h"

namespace vrk {

// --- Wire constants -----------------------------------------------------------------------

inline constexpr size_t kIpcMaxMessage = 65536;  // header included
inline constexpr size_t kIpcHeaderBytes = 16;
inline constexpr size_t kIpcRecordHeadBytes = 6;  // u16 tag, u32 value length
inline constexpr uint16_t kIpcVersion = 1;
inline constexpr char kIpcMagic[4] = {'V', 'R', 'K', 'S'};

// Header layout:
//   offset  width  field
//   0       4      magic "VRKS"
//   4       u16    version (1)
//   6       u16    message type
//   8       u32    message id
//   12      u32    payload length (total length - 16)
inline constexpr size_t kIpcHeaderMagicOffset = 0;
inline constexpr size_t kIpcHeaderVersionOffset = 4;
inline constexpr size_t kIpcHeaderTypeOffset = 6;
inline constexpr size_t kIpcHeaderIdOffset = 8;
inline constexpr size_t kIpcHeaderPayloadLengthOffset = 12;
static_assert(kIpcHeaderPayloadLengthOffset + 4 == kIpcHeaderBytes);

// Message types; the numbers are on the wire. A parsed header may carry any other value too.
enum class IpcType : uint16_t {
  kHello = 1,
  kMailConfig = 2,
  kMailSend = 3,
  kMailResult = 4,
  kApiConfig = 5,
  kApiRequest = 6,
  kApiResponse = 7,
};

// Tags, in the order the builders write them.
inline constexpr uint16_t kIpcTagHelloPid = 1;

inline constexpr uint16_t kIpcTagMailHost = 10;
inline constexpr uint16_t kIpcTagMailPort = 11;
inline constexpr uint16_t kIpcTagMailTlsMode = 12;
inline constexpr uint16_t kIpcTagMailUser = 13;
inline constexpr uint16_t kIpcTagMailPassword = 14;
inline constexpr uint16_t kIpcTagMailFrom = 15;
inline constexpr uint16_t kIpcTagMailRecipient = 16;
inline constexpr uint16_t kIpcTagMailCaFile = 17;
inline constexpr uint16_t kIpcTagMailTimeout = 18;

inline constexpr uint16_t kIpcTagSendSubject = 20;
inline constexpr uint16_t kIpcTagSendBody = 21;

inline constexpr uint16_t kIpcTagResultStatus = 30;
inline constexpr uint16_t kIpcTagResultText = 31;

inline constexpr uint16_t kIpcTagApiCert = 40;
inline constexpr uint16_t kIpcTagApiKey = 41;
inline constexpr uint16_t kIpcTagApiMaxClients = 42;

inline constexpr uint16_t kIpcTagReqMethod = 50;
inline constexpr uint16_t kIpcTagReqPath = 51;
inline constexpr uint16_t kIpcTagReqQuery = 52;
inline constexpr uint16_t kIpcTagReqAuthorization = 53;
inline constexpr uint16_t kIpcTagReqIfMatch = 54;
inline constexpr uint16_t kIpcTagReqClientAddress = 55;
inline constexpr uint16_t kIpcTagReqBody = 56;

inline constexpr uint16_t kIpcTagRespStatus = 60;
inline constexpr uint16_t kIpcTagRespEtag = 61;
inline constexpr uint16_t kIpcTagRespSignature = 62;
inline constexpr uint16_t kIpcTagRespBody = 63;
inline constexpr uint16_t kIpcTagRespFailedLogin = 64;

// --- Field limits -------------------------------------------------------------------------

// Buffer sizes the receivers pass for MAIL_SEND and MAIL_RESULT texts (NUL included); the
// builders refuse (subject, body) or cut (error text) to fit them.
inline constexpr size_t kIpcMailSubjectSize = 1024;
inline constexpr size_t kIpcMailBodySize = 65536;
inline constexpr size_t kIpcMailErrorSize = 512;

inline constexpr size_t kIpcPemMax = 16384;  // certificate and key, bytes
inline constexpr uint32_t kIpcMaxClientsMax = 256;

inline constexpr size_t kIpcMethodSize = 9;
inline constexpr size_t kIpcPathSize = 2049;
inline constexpr size_t kIpcQuerySize = 1025;
inline constexpr size_t kIpcAuthorizationSize = 513;
inline constexpr size_t kIpcIfMatchSize = 129;
inline constexpr size_t kIpcClientAddressSize = 64;
inline constexpr uint32_t kIpcRequestBodyMax = 32768;

inline constexpr uint32_t kIpcStatusMin = 100;
inline constexpr uint32_t kIpcStatusMax = 599;
inline constexpr size_t kIpcEtagSize = 80;
inline constexpr size_t kIpcSignatureSize = 65;
inline constexpr uint32_t kIpcResponseBodyMax = 61440;

// --- Records ------------------------------------------------------------------------------

// One message for building, sending or receiving. After it carried MAIL_CONFIG, API_CONFIG or
// API_REQUEST (password, key, Authorization) wipe it with ipc_buffer_wipe.
struct IpcBuffer {
  uint8_t bytes[kIpcMaxMessage] = {};
  uint32_t length = 0;
  // Bytes from the start that may be non-zero since the last wipe: what the builders and
  // ipc_recv wrote. Lets a wipe skip the zero tail of a small message.
  uint32_t used = 0;
};
static_assert(std::is_trivially_copyable_v<IpcBuffer>);

// A parsed header. Borrows the bytes it was parsed from: payload points into them.
struct IpcMessage {
  IpcType type = {};
  uint32_t id = 0;
  const uint8_t* payload = nullptr;
  uint32_t payload_length = 0;
};

// API_CONFIG: certificate chain and private key PEM texts, each owned, NUL-terminated and
// 1..16384 bytes long, plus the client limit. Both texts are wiped when released, replaced or
// destroyed; ipc_api_config_release empties the record.
struct ApiTlsConfig {
  SecretText cert_pem;
  SecretText key_pem;
  uint32_t max_clients = 0;
};

// One API request as it crosses from vrk_sched_net to vrk_sched. Texts are printable ASCII.
// The body is borrowed from the IpcBuffer it was parsed from (or the producer's bytes when
// building). authorization is a secret: wipe the record (ipc_api_request_wipe) after use.
struct ApiRequest {
  char method[kIpcMethodSize] = {};
  char path[kIpcPathSize] = {};
  char query[kIpcQuerySize] = {};
  char authorization[kIpcAuthorizationSize] = {};
  char if_match[kIpcIfMatchSize] = {};
  char client_address[kIpcClientAddressSize] = {};
  const uint8_t* body = nullptr;
  uint32_t body_length = 0;
};
static_assert(std::is_trivially_copyable_v<ApiRequest>);

// The answer to one ApiRequest. failed_login is 0 or 1 after parsing (any non-zero is sent as
// 1). The body is borrowed, as in ApiRequest.
struct ApiResponse {
  uint32_t status = 0;
  char etag[kIpcEtagSize] = {};
  char signature[kIpcSignatureSize] = {};
  uint32_t failed_login = 0;
  const uint8_t* body = nullptr;
  uint32_t body_length = 0;
};
static_assert(std::is_trivially_copyable_v<ApiResponse>);

// --- Field rules shared by builders and parsers --------------------------------------------

// True when every byte is printable ASCII (0x20..0x7E); true for an empty text.
bool ipc_text_printable(std::string_view text);

// True for exactly "GET", "PUT", "POST" or "DELETE".
bool ipc_method_allowed(std::string_view method);

// --- Buffers ------------------------------------------------------------------------------

// Zeroes all message bytes (non-elidable; those past used and length are zero already) and
// sets the length to 0.
void ipc_buffer_wipe(IpcBuffer& buf);

// A heap IpcBuffer that is wiped before it is freed.
struct IpcBufferWipeFree {
  void operator()(IpcBuffer* buf) const;
};
using IpcBufferPtr = std::unique_ptr<IpcBuffer, IpcBufferWipeFree>;

// A fresh, zeroed buffer; null when out of memory.
IpcBufferPtr ipc_buffer_new();

// --- Framing ------------------------------------------------------------------------------

// Writes the header (payload length 0); the message length becomes 16.
void ipc_begin(IpcBuffer& buf, IpcType type, uint32_t id);

// Appends one record and updates the header's payload length. -1, buffer unchanged, when the
// message would exceed 65536 bytes. Requires: ipc_begin was called on buf.
[[nodiscard]] int ipc_put_bytes(IpcBuffer& buf, uint16_t tag, const void* data, size_t length);
// ipc_put_bytes with the text's length (no NUL on the wire).
[[nodiscard]] int ipc_put_text(IpcBuffer& buf, uint16_t tag, const char* text);
// A record with a 4-byte value.
[[nodiscard]] int ipc_put_u32(IpcBuffer& buf, uint16_t tag, uint32_t value);

// Checks length 16..65536, magic, version 1 and payload length == length - 16 and fills msg
// (which then borrows bytes). 0, or -1 (msg cleared) when any of them fails.
[[nodiscard]] int ipc_parse_header(const uint8_t* bytes, size_t length, IpcMessage& msg);
// The same on a received buffer.
[[nodiscard]] int ipc_parse_header(const IpcBuffer& buf, IpcMessage& msg);

// --- Builders -----------------------------------------------------------------------------
// Each starts a new message in buf and returns 0, or -1 when a value is over its limit or
// would be refused by the receiving parser, or the message does not fit; on -1 the buffer is
// wiped and its length is 0, so it cannot be sent.

// HELLO, message id 0, one pid record: always 26 bytes.
[[nodiscard]] int ipc_build_hello(IpcBuffer& buf, uint32_t pid);

// MAIL_CONFIG with tags 10..18; user, password and ca file only when non-empty; every
// recipient. Refuses settings the parser would refuse (a plain from address and recipients,
// port 1..65535, tls mode 0..2, timeout non-zero, user and password together).
[[nodiscard]] int ipc_build_mail_config(IpcBuffer& buf, uint32_t id, const MailSettings& mail);

// MAIL_SEND. Refuses a subject with CR, LF or NUL or of 1024 bytes or more, and a body with a
// NUL or of 65536 bytes or more.
[[nodiscard]] int ipc_build_mail_send(IpcBuffer& buf, uint32_t mail_id, std::string_view subject,
                                      std::string_view body);

// MAIL_RESULT. The text goes out only when status is non-zero, cut at its first NUL and to 511
// bytes; an empty text is sent as "unknown error".
[[nodiscard]] int ipc_build_mail_result(IpcBuffer& buf, uint32_t mail_id, uint32_t status,
                                        std::string_view error_text = {});

// API_CONFIG. Refuses a PEM text that is empty, longer than 16384 bytes or holds a NUL, and a
// max-clients outside 1..256.
[[nodiscard]] int ipc_build_api_config(IpcBuffer& buf, uint32_t id, std::string_view cert_pem,
                                       std::string_view key_pem, uint32_t max_clients);

// API_REQUEST. Refuses a body over 32768 bytes and any field its parser would refuse
// (non-printable text, method other than GET/PUT/POST/DELETE, path not starting with "/", empty
// client address).
[[nodiscard]] int ipc_build_api_request(IpcBuffer& buf, uint32_t request_id, const ApiRequest& req);

// API_RESPONSE; tag 64 (as 1) only when failed_login is set, before the body. Refuses a body
// over 61440 bytes, a status outside 100..599 and non-printable etag or signature texts.
[[nodiscard]] int ipc_build_api_response(IpcBuffer& buf, uint32_t request_id,
                                         const ApiResponse& resp);

// --- Parsers ------------------------------------------------------------------------------
// Each checks the type ("unexpected message type %u (expected %u)"), clears its outputs,
// applies its message's rules and returns 0, or -1 with one fixed text in err (any size, cut)
// and its outputs cleared again.

[[nodiscard]] int ipc_parse_hello(const IpcMessage& msg, uint32_t& pid, std::span<char> err);

// On success out.enabled is 1. On failure out is wiped and reset.
[[nodiscard]] int ipc_parse_mail_config(const IpcMessage& msg, MailSettings& out,
                                        std::span<char> err);

// Subject and body are NUL-terminated copies; each must be shorter than its buffer (the
// network process passes kIpcMailSubjectSize and kIpcMailBodySize).
[[nodiscard]] int ipc_parse_mail_send(const IpcMessage& msg, std::span<char> subject,
                                      std::span<char> body, std::span<char> err);

// text gets the error text (empty for status 0), CR and LF replaced by spaces; it must be
// shorter than the buffer (the scheduler passes kIpcMailErrorSize).
[[nodiscard]] int ipc_parse_mail_result(const IpcMessage& msg, uint32_t& status,
                                        std::span<char> text, std::span<char> err);

// Allocates the two PEM copies (only once the whole message is accepted). out is released
// first; on failure nothing is held ("API_CONFIG: out of memory" when a copy fails).
[[nodiscard]] int ipc_parse_api_config(const IpcMessage& msg, ApiTlsConfig& out,
                                       std::span<char> err);

// Wipes and frees both texts and leaves cfg empty; safe to call twice.
void ipc_api_config_release(ApiTlsConfig& cfg);

// out.body borrows msg's bytes.
[[nodiscard]] int ipc_parse_api_request(const IpcMessage& msg, ApiRequest& out,
                                        std::span<char> err);

// Zeroes the whole record (the authorization text is a secret).
void ipc_api_request_wipe(ApiRequest& req);

// out.body borrows msg's bytes.
[[nodiscard]] int ipc_parse_api_response(const IpcMessage& msg, ApiResponse& out,
                                         std::span<char> err);

// --- Transport ----------------------------------------------------------------------------

// One send of the whole message with MSG_NOSIGNAL (and MSG_DONTWAIT when nonblocking), retried
// on EINTR. 0 when all of it went out; else -1 with errno (EAGAIN: the peer is not reading;
// EINVAL: buf does not hold a message of 16..65536 bytes).
[[nodiscard]] int ipc_send(int fd, const IpcBuffer& buf, bool nonblocking);

inline constexpr int kIpcRecvMessage = 1;
inline constexpr int kIpcRecvNothing = 0;
inline constexpr int kIpcRecvClosed = -1;
inline constexpr int kIpcRecvOversized = -2;

// One recv of up to 65536 bytes with MSG_TRUNC (and MSG_DONTWAIT when nonblocking), retried on
// EINTR. kIpcRecvMessage with buf.length set; kIpcRecvNothing on EAGAIN; kIpcRecvClosed when the
// peer closed the socket (0 bytes) or on another error (errno tells); kIpcRecvOversized when the
// datagram was longer than 65536 bytes (it is lost). buf.length is 0 except after a message.
[[nodiscard]] int ipc_recv(int fd, IpcBuffer& buf, bool nonblocking);

}  // namespace vrk
