// Framing, header check, the field rules, builders and transport of the IPC codec. The builders
// write what the tables of ipc_fields.h describe; the parsers are in ipc_parse.cc.
#include "common/ipc.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <bit>
#include <new>

#include <openssl/crypto.h>

#include "common/bytes.h"
#include "common/ipc_fields.h"
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

bool is_number(IpcKind kind) {
  return kind == IpcKind::kU32 || kind == IpcKind::kFlag;
}

// Builds one message; the first refused value or record that does not fit makes finish()
// wipe the buffer and fail, so a half-built message can never be sent.
class Builder {
 public:
  Builder(IpcBuffer& buf, IpcType type, uint32_t id) : buf_(buf) { ipc_begin(buf, type, id); }

  void value(uint16_t tag, IpcKind kind, const IpcValue& v) {
    if (!ok_) {
      return;
    }
    int rc = is_number(kind) ? ipc_put_u32(buf_, tag, v.number)
                             : ipc_put_bytes(buf_, tag, v.bytes.data(), v.bytes.size());
    ok_ = rc == 0;
  }
  void require(bool condition) { ok_ = ok_ && condition; }
  bool ok() const { return ok_; }

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

// Writes in's fields in table order, each only after the check its parser applies: optional
// fields only when set, every entry of a list. consistent carries the message's rules across
// fields. 0, or -1 with the buffer wiped.
template <typename Rec, size_t N>
int build_message(IpcBuffer& buf, IpcType type, uint32_t id,
                  const std::array<IpcField<Rec>, N>& fields, const Rec& in,
                  bool consistent = true) {
  Builder b(buf, type, id);
  b.require(consistent);
  for (const IpcField<Rec>& f : fields) {
    int count = 1;
    if (f.presence == IpcPresence::kList) {
      count = in.*f.count;
      b.require(count >= 1 && count <= f.max_count);
    }
    for (int i = 0; i < count && b.ok(); ++i) {
      IpcValue v;
      b.require(f.get(in, i, v) && ipc_rule_check(f.rule, v) == IpcVerdict::kAccepted);
      bool empty = is_number(f.rule.kind) ? v.number == 0 : v.bytes.empty();
      if (f.presence == IpcPresence::kOptional && empty) {
        continue;
      }
      b.require(f.presence != IpcPresence::kNonEmpty || !empty);
      b.value(f.tag, f.rule.kind, v);
    }
  }
  return b.finish();
}

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

IpcVerdict ipc_rule_check(const IpcRule& rule, const IpcValue& value) {
  if (is_number(rule.kind)) {
    bool within = value.number >= rule.min && value.number <= rule.max;
    return within ? IpcVerdict::kAccepted : IpcVerdict::kRefused;
  }
  std::string_view b = value.bytes;
  if (b.size() < rule.min || b.size() > rule.max) {
    return IpcVerdict::kRefused;
  }
  bool ok = true;
  switch (rule.bytes) {
    case IpcBytes::kAny:
      break;
    case IpcBytes::kNoNul:
    case IpcBytes::kOneLine:
      ok = !has_byte(b, '\0');
      break;
    case IpcBytes::kPrintable:
      ok = ipc_text_printable(b);
      break;
    case IpcBytes::kAddress:
      ok = !has_byte(b, '\0') && mail_address_valid(b);
      break;
    case IpcBytes::kPath:
      ok = ipc_text_printable(b) && b.starts_with('/');
      break;
  }
  if (!ok) {
    return IpcVerdict::kRefused;
  }
  if (rule.bytes == IpcBytes::kOneLine && (has_byte(b, '\r') || has_byte(b, '\n'))) {
    return IpcVerdict::kLineBreak;
  }
  return IpcVerdict::kAccepted;
}

void ipc_buffer_wipe(IpcBuffer& buf) {
  // Every request passes through here twice: a small message must not cost 64 KiB of writes.
  size_t dirty = buf.used > buf.length ? buf.used : buf.length;
  if (dirty > sizeof(buf.bytes)) {
    dirty = sizeof(buf.bytes);
  }
  OPENSSL_cleanse(buf.bytes, dirty);
  buf.length = 0;
  buf.used = 0;
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
  buf.used = buf.used > buf.length ? buf.used : buf.length;
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
  buf.used = buf.used > buf.length ? buf.used : buf.length;
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
  return build_message(buf, IpcType::kHello, 0, kIpcHelloFields, IpcHelloFields{pid});
}

int ipc_build_mail_config(IpcBuffer& buf, uint32_t id, const MailSettings& mail) {
  return build_message(buf, IpcType::kMailConfig, id, kIpcMailConfigFields, mail,
                       ipc_mail_credentials_paired(mail));
}

int ipc_build_mail_send(IpcBuffer& buf, uint32_t mail_id, std::string_view subject,
                        std::string_view body) {
  return build_message(buf, IpcType::kMailSend, mail_id,
                       ipc_mail_send_fields(kIpcMailSubjectSize, kIpcMailBodySize),
                       IpcMailSendFields{subject, body});
}

int ipc_build_mail_result(IpcBuffer& buf, uint32_t mail_id, uint32_t status,
                          std::string_view error_text) {
  IpcMailResultFields in{status, {}};
  if (status != 0) {
    std::string_view text = error_text.substr(0, error_text.find('\0'));
    text = text.substr(0, kIpcMailErrorSize - 1);
    in.text = text.empty() ? kUnknownError : text;
  }
  return build_message(buf, IpcType::kMailResult, mail_id,
                       ipc_mail_result_fields(kIpcMailErrorSize), in);
}

int ipc_build_api_config(IpcBuffer& buf, uint32_t id, std::string_view cert_pem,
                         std::string_view key_pem, uint32_t max_clients) {
  return build_message(buf, IpcType::kApiConfig, id, kIpcApiConfigFields,
                       IpcApiConfigFields{cert_pem, key_pem, max_clients});
}

int ipc_build_api_request(IpcBuffer& buf, uint32_t request_id, const ApiRequest& req) {
  return build_message(buf, IpcType::kApiRequest, request_id, kIpcApiRequestFields, req,
                       ipc_method_allowed(text_view(req.method)));
}

int ipc_build_api_response(IpcBuffer& buf, uint32_t request_id, const ApiResponse& resp) {
  return build_message(buf, IpcType::kApiResponse, request_id, kIpcApiResponseFields, resp);
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
  if (n > 0) {
    // With MSG_TRUNC n is the datagram's length, which may exceed what was stored.
    const uint32_t stored = static_cast<size_t>(n) < sizeof(buf.bytes)
                                ? static_cast<uint32_t>(n)
                                : static_cast<uint32_t>(sizeof(buf.bytes));
    buf.used = buf.used > stored ? buf.used : stored;
  }
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
