// Framing, header check, builders and transport of the IPC codec. The parsers are in
// ipc_parse.cc.
#include "common/ipc.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <bit>
#include <new>

#include <openssl/crypto.h>

#include "common/bytes.h"
#include "common/mail_address.h"
#include "common/text.h"

namespace vrk {

// The wire uses host byte order; the byte helpers write little-endian, which is the same thing
// on our only target.
static_assert(std::endian::native == std::endian::little);

namespace {

static_assert(sizeof(kIpcMagic) == kIpcHeaderVersionOffset - kIpcHeaderMagicOffset);

// Record layout:
//   offset  width  field
//   0       u16    tag
//   2       u32    value length L
//   6       L      value
constexpr size_t kRecordTag = 0;
constexpr size_t kRecordLength = 2;
constexpr size_t kRecordValue = 6;
static_assert(kRecordLength + 4 == kRecordValue && kRecordValue == kIpcRecordHeadBytes);

constexpr size_t kHelloBytes = kIpcHeaderBytes + kIpcRecordHeadBytes + 4;
static_assert(kHelloBytes == 26);

constexpr std::string_view kUnknownError = "unknown error";

bool has_byte(std::string_view text, char c) {
  return text.find(c) != std::string_view::npos;
}

// Length within [min, max] and no NUL; printable texts allow only 0x20..0x7E.
bool text_fits(std::string_view text, size_t min, size_t max, bool printable) {
  if (text.size() < min || text.size() > max) {
    return false;
  }
  return printable ? ipc_text_printable(text) : !has_byte(text, '\0');
}

// A NUL-terminated array's text within its array size minus the NUL, or fail.
template <size_t N>
bool array_fits(const char (&a)[N], size_t min, bool printable) {
  return text_fits(text_view(a), min, N - 1, printable);
}

bool address_fits(std::string_view text) {
  return text.size() < kMailAddressSize && !has_byte(text, '\0') && mail_address_valid(text);
}

// Builds one message; the first refused value or record that does not fit makes finish()
// wipe the buffer and fail, so a half-built message can never be sent.
class Builder {
 public:
  Builder(IpcBuffer& buf, IpcType type, uint32_t id) : buf_(buf) { ipc_begin(buf, type, id); }

  void u32(uint16_t tag, uint32_t value) {
    if (ok_ && ipc_put_u32(buf_, tag, value) != 0) {
      ok_ = false;
    }
  }
  void bytes(uint16_t tag, const void* data, size_t length) {
    if (ok_ && ipc_put_bytes(buf_, tag, data, length) != 0) {
      ok_ = false;
    }
  }
  void text(uint16_t tag, std::string_view text) { bytes(tag, text.data(), text.size()); }
  // Optional fields are written only when non-empty.
  void text_if_set(uint16_t tag, std::string_view text) {
    if (!text.empty()) {
      bytes(tag, text.data(), text.size());
    }
  }
  void require(bool condition) { ok_ = ok_ && condition; }

  [[nodiscard]] int finish() {
    if (!ok_) {
      ipc_buffer_wipe(buf_);
      return -1;
    }
    return 0;
  }

 private:
  IpcBuffer& buf_;
  bool ok_ = true;
};

}  // namespace

bool ipc_text_printable(std::string_view text) {
  for (char c : text) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b > 0x7E) {
      return false;
    }
  }
  return true;
}

bool ipc_method_allowed(std::string_view method) {
  return method == "GET" || method == "PUT" || method == "POST" || method == "DELETE";
}

void ipc_buffer_wipe(IpcBuffer& buf) {
  OPENSSL_cleanse(buf.bytes, sizeof(buf.bytes));
  buf.length = 0;
}

void IpcBufferWipeFree::operator()(IpcBuffer* buf) const {
  if (buf != nullptr) {
    ipc_buffer_wipe(*buf);
    delete buf;
  }
}

IpcBufferPtr ipc_buffer_new() {
  return IpcBufferPtr(new (std::nothrow) IpcBuffer{});
}

void ipc_begin(IpcBuffer& buf, IpcType type, uint32_t id) {
  memcpy(buf.bytes + kIpcHeaderMagicOffset, kIpcMagic, sizeof(kIpcMagic));
  put_u16le(buf.bytes + kIpcHeaderVersionOffset, kIpcVersion);
  put_u16le(buf.bytes + kIpcHeaderTypeOffset, static_cast<uint16_t>(type));
  put_u32le(buf.bytes + kIpcHeaderIdOffset, id);
  put_u32le(buf.bytes + kIpcHeaderPayloadLengthOffset, 0);
  buf.length = kIpcHeaderBytes;
}

int ipc_put_bytes(IpcBuffer& buf, uint16_t tag, const void* data, size_t length) {
  if (buf.length < kIpcHeaderBytes || buf.length > kIpcMaxMessage) {
    return -1;
  }
  size_t room = kIpcMaxMessage - buf.length;
  if (room < kIpcRecordHeadBytes || length > room - kIpcRecordHeadBytes) {
    return -1;
  }
  if (length > 0 && data == nullptr) {
    return -1;
  }
  uint8_t* rec = buf.bytes + buf.length;
  put_u16le(rec + kRecordTag, tag);
  put_u32le(rec + kRecordLength, static_cast<uint32_t>(length));
  if (length > 0) {
    memcpy(rec + kRecordValue, data, length);
  }
  buf.length += static_cast<uint32_t>(kIpcRecordHeadBytes + length);
  put_u32le(buf.bytes + kIpcHeaderPayloadLengthOffset,
            static_cast<uint32_t>(buf.length - kIpcHeaderBytes));
  return 0;
}

int ipc_put_text(IpcBuffer& buf, uint16_t tag, const char* text) {
  if (text == nullptr) {
    return -1;
  }
  return ipc_put_bytes(buf, tag, text, strlen(text));
}

int ipc_put_u32(IpcBuffer& buf, uint16_t tag, uint32_t value) {
  uint8_t v[4];
  put_u32le(v, value);
  return ipc_put_bytes(buf, tag, v, sizeof(v));
}

int ipc_parse_header(const uint8_t* bytes, size_t length, IpcMessage& msg) {
  msg = IpcMessage{};
  if (bytes == nullptr || length < kIpcHeaderBytes || length > kIpcMaxMessage) {
    return -1;
  }
  if (memcmp(bytes + kIpcHeaderMagicOffset, kIpcMagic, sizeof(kIpcMagic)) != 0 ||
      get_u16le(bytes + kIpcHeaderVersionOffset) != kIpcVersion ||
      get_u32le(bytes + kIpcHeaderPayloadLengthOffset) != length - kIpcHeaderBytes) {
    return -1;
  }
  msg.type = static_cast<IpcType>(get_u16le(bytes + kIpcHeaderTypeOffset));
  msg.id = get_u32le(bytes + kIpcHeaderIdOffset);
  msg.payload = bytes + kIpcHeaderBytes;
  msg.payload_length = static_cast<uint32_t>(length - kIpcHeaderBytes);
  return 0;
}

int ipc_parse_header(const IpcBuffer& buf, IpcMessage& msg) {
  return ipc_parse_header(buf.bytes, buf.length, msg);
}

// --- Builders ---------------------------------------------------------------------------

int ipc_build_hello(IpcBuffer& buf, uint32_t pid) {
  Builder b(buf, IpcType::kHello, 0);
  b.u32(kIpcTagHelloPid, pid);
  return b.finish();
}

int ipc_build_mail_config(IpcBuffer& buf, uint32_t id, const MailSettings& mail) {
  Builder b(buf, IpcType::kMailConfig, id);
  std::string_view user = text_view(mail.smtp_user);
  std::string_view password = text_view(mail.smtp_password);
  b.require(array_fits(mail.smtp_host, 1, false));
  b.require(mail.smtp_port >= 1 && mail.smtp_port <= 65535);
  b.require(mail.tls_mode <= kMailTlsSmtps);
  b.require(array_fits(mail.smtp_user, 0, false) && array_fits(mail.smtp_password, 0, false));
  b.require(user.empty() == password.empty());
  b.require(address_fits(text_view(mail.from)));
  b.require(mail.recipient_count >= 1 && mail.recipient_count <= kMailMaxRecipients);
  b.require(array_fits(mail.ca_file, 0, false));
  b.require(mail.timeout_seconds != 0);

  b.text(kIpcTagMailHost, text_view(mail.smtp_host));
  b.u32(kIpcTagMailPort, mail.smtp_port);
  b.u32(kIpcTagMailTlsMode, mail.tls_mode);
  b.text_if_set(kIpcTagMailUser, user);
  b.text_if_set(kIpcTagMailPassword, password);
  b.text(kIpcTagMailFrom, text_view(mail.from));
  for (int i = 0; i < mail.recipient_count && i < kMailMaxRecipients; ++i) {
    std::string_view rcpt = text_view(mail.recipients[i]);
    b.require(address_fits(rcpt));
    b.text(kIpcTagMailRecipient, rcpt);
  }
  b.text_if_set(kIpcTagMailCaFile, text_view(mail.ca_file));
  b.u32(kIpcTagMailTimeout, mail.timeout_seconds);
  return b.finish();
}

int ipc_build_mail_send(IpcBuffer& buf, uint32_t mail_id, std::string_view subject,
                        std::string_view body) {
  Builder b(buf, IpcType::kMailSend, mail_id);
  b.require(text_fits(subject, 0, kIpcMailSubjectSize - 1, false));
  b.require(!has_byte(subject, '\r') && !has_byte(subject, '\n'));
  b.require(text_fits(body, 0, kIpcMailBodySize - 1, false));
  b.text(kIpcTagSendSubject, subject);
  b.text(kIpcTagSendBody, body);
  return b.finish();
}

int ipc_build_mail_result(IpcBuffer& buf, uint32_t mail_id, uint32_t status,
                          std::string_view error_text) {
  Builder b(buf, IpcType::kMailResult, mail_id);
  b.u32(kIpcTagResultStatus, status);
  if (status != 0) {
    std::string_view text = error_text.substr(0, error_text.find('\0'));
    text = text.substr(0, kIpcMailErrorSize - 1);
    b.text(kIpcTagResultText, text.empty() ? kUnknownError : text);
  }
  return b.finish();
}

int ipc_build_api_config(IpcBuffer& buf, uint32_t id, std::string_view cert_pem,
                         std::string_view key_pem, uint32_t max_clients) {
  Builder b(buf, IpcType::kApiConfig, id);
  b.require(text_fits(cert_pem, 1, kIpcPemMax, false));
  b.require(text_fits(key_pem, 1, kIpcPemMax, false));
  b.require(max_clients >= 1 && max_clients <= kIpcMaxClientsMax);
  b.text(kIpcTagApiCert, cert_pem);
  b.text(kIpcTagApiKey, key_pem);
  b.u32(kIpcTagApiMaxClients, max_clients);
  return b.finish();
}

int ipc_build_api_request(IpcBuffer& buf, uint32_t request_id, const ApiRequest& req) {
  Builder b(buf, IpcType::kApiRequest, request_id);
  std::string_view path = text_view(req.path);
  b.require(array_fits(req.method, 1, true) && ipc_method_allowed(text_view(req.method)));
  b.require(array_fits(req.path, 1, true) && path.starts_with('/'));
  b.require(array_fits(req.query, 0, true));
  b.require(array_fits(req.authorization, 0, true));
  b.require(array_fits(req.if_match, 0, true));
  b.require(array_fits(req.client_address, 1, true));
  b.require(req.body_length <= kIpcRequestBodyMax);
  b.require(req.body != nullptr || req.body_length == 0);

  b.text(kIpcTagReqMethod, text_view(req.method));
  b.text(kIpcTagReqPath, path);
  b.text_if_set(kIpcTagReqQuery, text_view(req.query));
  b.text_if_set(kIpcTagReqAuthorization, text_view(req.authorization));
  b.text_if_set(kIpcTagReqIfMatch, text_view(req.if_match));
  b.text(kIpcTagReqClientAddress, text_view(req.client_address));
  if (req.body_length > 0) {
    b.bytes(kIpcTagReqBody, req.body, req.body_length);
  }
  return b.finish();
}

int ipc_build_api_response(IpcBuffer& buf, uint32_t request_id, const ApiResponse& resp) {
  Builder b(buf, IpcType::kApiResponse, request_id);
  b.require(resp.status >= kIpcStatusMin && resp.status <= kIpcStatusMax);
  b.require(array_fits(resp.etag, 0, true));
  b.require(array_fits(resp.signature, 0, true));
  b.require(resp.body_length <= kIpcResponseBodyMax);
  b.require(resp.body != nullptr || resp.body_length == 0);

  b.u32(kIpcTagRespStatus, resp.status);
  b.text_if_set(kIpcTagRespEtag, text_view(resp.etag));
  b.text_if_set(kIpcTagRespSignature, text_view(resp.signature));
  if (resp.failed_login != 0) {
    b.u32(kIpcTagRespFailedLogin, 1);
  }
  // The body record is required even when empty.
  b.bytes(kIpcTagRespBody, resp.body, resp.body_length);
  return b.finish();
}

// --- Transport ------------------------------------------------------------------------

int ipc_send(int fd, const IpcBuffer& buf, bool nonblocking) {
  if (buf.length < kIpcHeaderBytes || buf.length > kIpcMaxMessage) {
    errno = EINVAL;
    return -1;
  }
  // A reader that went away must not end this process through SIGPIPE.
  int flags = MSG_NOSIGNAL | (nonblocking ? MSG_DONTWAIT : 0);
  ssize_t n;
  do {
    n = send(fd, buf.bytes, buf.length, flags);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    return -1;
  }
  if (static_cast<size_t>(n) != buf.length) {
    errno = EMSGSIZE;
    return -1;
  }
  return 0;
}

int ipc_recv(int fd, IpcBuffer& buf, bool nonblocking) {
  buf.length = 0;
  // MSG_TRUNC makes recv report the datagram's real length, so an oversized one is seen as
  // such rather than taken as a cut message.
  int flags = MSG_TRUNC | (nonblocking ? MSG_DONTWAIT : 0);
  ssize_t n;
  do {
    n = recv(fd, buf.bytes, sizeof(buf.bytes), flags);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? kIpcRecvNothing : kIpcRecvClosed;
  }
  if (n == 0) {
    return kIpcRecvClosed;
  }
  if (static_cast<size_t>(n) > sizeof(buf.bytes)) {
    ipc_buffer_wipe(buf);
    return kIpcRecvOversized;
  }
  buf.length = static_cast<uint32_t>(n);
  return kIpcRecvMessage;
}

}  // namespace vrk
