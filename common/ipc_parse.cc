// The strict IPC parsers: one per message type over a shared record walk. Each applies its
// message's rules in a fixed order, because the order decides which text a bad message gets;
// both programs run this same code, so both ends refuse the same bytes.
#include <string.h>

#include <new>

#include <openssl/crypto.h>

#include "common/bytes.h"
#include "common/error.h"
#include "common/ipc.h"
#include "common/mail_address.h"
#include "common/text.h"

namespace vrk {
namespace {

// Bounded reader over the payload: every take fails rather than read past the end.
struct Reader {
  const uint8_t* p = nullptr;
  size_t left = 0;

  bool take(size_t n, const uint8_t*& out) {
    if (n > left) {
      return false;
    }
    out = p;
    p += n;
    left -= n;
    return true;
  }
  bool take_u16(uint16_t& v) {
    const uint8_t* b;
    if (!take(2, b)) {
      return false;
    }
    v = get_u16le(b);
    return true;
  }
  bool take_u32(uint32_t& v) {
    const uint8_t* b;
    if (!take(4, b)) {
      return false;
    }
    v = get_u32le(b);
    return true;
  }
};

struct Record {
  uint16_t tag = 0;
  const uint8_t* value = nullptr;
  uint32_t length = 0;

  std::string_view text() const {
    return std::string_view(reinterpret_cast<const char*>(value), length);
  }
  bool is_u32() const { return length == 4; }
  uint32_t u32() const { return get_u32le(value); }
};

enum class Walk { kRecord, kEnd, kMalformed };

// Record walk: fewer than 6 bytes left, or a value longer than what follows the record head,
// is malformed; the walk ends when the last byte has been consumed.
Walk next_record(Reader& r, Record& rec) {
  if (r.left == 0) {
    return Walk::kEnd;
  }
  if (r.left < kIpcRecordHeadBytes) {
    return Walk::kMalformed;
  }
  uint32_t length = 0;
  if (!r.take_u16(rec.tag) || !r.take_u32(length) || !r.take(length, rec.value)) {
    return Walk::kMalformed;
  }
  rec.length = length;
  return Walk::kRecord;
}

Reader payload_reader(const IpcMessage& msg) {
  return Reader{msg.payload, msg.payload_length};
}

// The shared record walk: calls on_record for each record of msg's payload in order. A
// malformed record writes the message's malformed text. Returns 0 when every record was taken,
// else -1 (a refused record has written its own text).
template <typename F>
int walk_records(const IpcMessage& msg, const char* malformed, std::span<char> err, F on_record) {
  Reader r = payload_reader(msg);
  Record rec;
  for (;;) {
    Walk w = next_record(r, rec);
    if (w == Walk::kEnd) {
      return 0;
    }
    if (w == Walk::kMalformed) {
      err_set(err, "%s", malformed);
      return -1;
    }
    if (on_record(static_cast<const Record&>(rec)) != 0) {
      return -1;
    }
  }
}

// One bit per tag, counted from the message's first tag.
class TagSet {
 public:
  explicit TagSet(uint16_t first) : first_(first) {}
  // True when tag was already seen; marks it. Requires: first <= tag < first + 32.
  bool seen_before(uint16_t tag) {
    uint32_t bit = uint32_t{1} << (tag - first_);
    bool seen = (bits_ & bit) != 0;
    bits_ |= bit;
    return seen;
  }
  bool has(uint16_t tag) const { return (bits_ & (uint32_t{1} << (tag - first_))) != 0; }

 private:
  uint16_t first_;
  uint32_t bits_ = 0;
};

bool check_type(const IpcMessage& msg, IpcType want, std::span<char> err) {
  if (msg.type == want) {
    return true;
  }
  err_set(err, "unexpected message type %u (expected %u)", static_cast<unsigned>(msg.type),
          static_cast<unsigned>(want));
  return false;
}

void clear_err(std::span<char> err) {
  if (!err.empty()) {
    err[0] = '\0';
  }
}

void clear_text(std::span<char> text) {
  if (!text.empty()) {
    text[0] = '\0';
  }
}

bool has_byte(std::string_view text, char c) {
  return text.find(c) != std::string_view::npos;
}

// The value's length is within [min, max] and it holds no NUL byte (printable: only bytes
// 0x20..0x7E, which also excludes NUL).
bool value_fits(const Record& rec, size_t min, size_t max, bool printable) {
  if (rec.length < min || rec.length > max) {
    return false;
  }
  return printable ? ipc_text_printable(rec.text()) : !has_byte(rec.text(), '\0');
}

// Copies an accepted value into a fixed array with its NUL. Requires: rec.length < dst.size().
void copy_value(const Record& rec, std::span<char> dst) {
  if (rec.length > 0) {
    memcpy(dst.data(), rec.value, rec.length);
  }
  dst[rec.length] = '\0';
}

// A text field of a fixed array: [min, size - 1] bytes, then copied.
template <size_t N>
bool take_text(const Record& rec, size_t min, bool printable, char (&dst)[N]) {
  if (!value_fits(rec, min, N - 1, printable)) {
    return false;
  }
  copy_value(rec, dst);
  return true;
}

bool take_address(const Record& rec, char (&dst)[kMailAddressSize]) {
  if (!value_fits(rec, 1, kMailAddressSize - 1, false) || !mail_address_valid(rec.text())) {
    return false;
  }
  copy_value(rec, dst);
  return true;
}

void mail_settings_reset(MailSettings& m) {
  OPENSSL_cleanse(&m, sizeof(m));
  m = MailSettings{};
}

// Owned PEM copies are wiped before they are freed: the key is a secret, and the certificate is
// handled the same way so that release needs no case.
void pem_free(char*& text, uint32_t& length) {
  if (text != nullptr) {
    OPENSSL_cleanse(text, length);
    delete[] text;
  }
  text = nullptr;
  length = 0;
}

char* pem_copy(std::string_view value) {
  char* p = new (std::nothrow) char[value.size() + 1];
  if (p != nullptr) {
    memcpy(p, value.data(), value.size());
    p[value.size()] = '\0';
  }
  return p;
}

// MAIL_CONFIG: only tags below 32 get a bit; tag 16 repeats and is not tracked.
constexpr uint16_t kMailConfigTagLimit = 31;

// API_REQUEST and API_RESPONSE reserve a block of tags; the unused part of each block is
// "unexpected", anything outside the block (or a repeat) "unexpected or duplicate".
// Each block is ten tags wide, so API_RESPONSE's tags 60..63 inside a request are foreign.
constexpr uint16_t kApiRequestTagFirst = kIpcTagReqMethod;
constexpr uint16_t kApiRequestTagUsedLast = kIpcTagReqBody;
constexpr uint16_t kApiRequestTagLast = 59;
constexpr uint16_t kApiResponseTagFirst = kIpcTagRespStatus;
constexpr uint16_t kApiResponseTagUsedLast = kIpcTagRespFailedLogin;
constexpr uint16_t kApiResponseTagLast = 69;
static_assert(kApiRequestTagLast - kApiRequestTagFirst < 32);
static_assert(kApiResponseTagLast - kApiResponseTagFirst < 32);

}  // namespace

int ipc_parse_hello(const IpcMessage& msg, uint32_t& pid, std::span<char> err) {
  clear_err(err);
  pid = 0;
  if (!check_type(msg, IpcType::kHello, err)) {
    return -1;
  }
  if (msg.payload_length == 0) {
    err_set(err, "HELLO: no pid");
    return -1;
  }
  bool have_pid = false;
  uint32_t value = 0;
  if (walk_records(msg, "HELLO: malformed record", err, [&](const Record& rec) {
        if (rec.tag != kIpcTagHelloPid || have_pid) {
          err_set(err, "HELLO: unexpected tag %u", rec.tag);
          return -1;
        }
        if (!rec.is_u32()) {
          err_set(err, "HELLO: bad pid");
          return -1;
        }
        value = rec.u32();
        have_pid = true;
        return 0;
      }) != 0) {
    return -1;
  }
  pid = value;
  return 0;
}

namespace {

int mail_config_walk(const IpcMessage& msg, MailSettings& out, std::span<char> err) {
  TagSet seen(kIpcTagMailHost);
  if (walk_records(msg, "MAIL_CONFIG: malformed record", err, [&](const Record& rec) {
        if (rec.tag > kMailConfigTagLimit) {
          err_set(err, "MAIL_CONFIG: unexpected tag %u", rec.tag);
          return -1;
        }
        if (rec.tag == kIpcTagMailRecipient) {
          if (out.recipient_count > kMailMaxRecipients - 1) {
            err_set(err, "MAIL_CONFIG: too many recipients");
            return -1;
          }
          if (!take_address(rec, out.recipients[out.recipient_count])) {
            err_set(err, "MAIL_CONFIG: bad recipient");
            return -1;
          }
          ++out.recipient_count;
          return 0;
        }
        if (rec.tag < kIpcTagMailHost || rec.tag > kIpcTagMailTimeout) {
          err_set(err, "MAIL_CONFIG: unexpected tag %u", rec.tag);
          return -1;
        }
        if (seen.seen_before(rec.tag)) {
          err_set(err, "MAIL_CONFIG: duplicate tag %u", rec.tag);
          return -1;
        }
        switch (rec.tag) {
          case kIpcTagMailHost:
            if (!take_text(rec, 0, false, out.smtp_host)) {
              err_set(err, "MAIL_CONFIG: bad host");
              return -1;
            }
            break;
          case kIpcTagMailPort:
            if (!rec.is_u32() || rec.u32() < 1 || rec.u32() > 65535) {
              err_set(err, "MAIL_CONFIG: bad port");
              return -1;
            }
            out.smtp_port = rec.u32();
            break;
          case kIpcTagMailTlsMode:
            if (!rec.is_u32() || rec.u32() > kMailTlsSmtps) {
              err_set(err, "MAIL_CONFIG: bad tls mode");
              return -1;
            }
            out.tls_mode = rec.u32();
            break;
          case kIpcTagMailUser:
            if (!take_text(rec, 0, false, out.smtp_user)) {
              err_set(err, "MAIL_CONFIG: bad user");
              return -1;
            }
            break;
          case kIpcTagMailPassword:
            if (!take_text(rec, 0, false, out.smtp_password)) {
              err_set(err, "MAIL_CONFIG: bad password");
              return -1;
            }
            break;
          case kIpcTagMailFrom:
            if (!take_address(rec, out.from)) {
              err_set(err, "MAIL_CONFIG: bad from");
              return -1;
            }
            break;
          case kIpcTagMailCaFile:
            if (!take_text(rec, 0, false, out.ca_file)) {
              err_set(err, "MAIL_CONFIG: bad ca-file");
              return -1;
            }
            break;
          case kIpcTagMailTimeout:
            if (!rec.is_u32() || rec.u32() == 0) {
              err_set(err, "MAIL_CONFIG: bad timeout");
              return -1;
            }
            out.timeout_seconds = rec.u32();
            break;
        }
        return 0;
      }) != 0) {
    return -1;
  }
  if (out.smtp_host[0] == '\0' || !seen.has(kIpcTagMailPort) || out.from[0] == '\0' ||
      out.recipient_count == 0 || !seen.has(kIpcTagMailTimeout) || !seen.has(kIpcTagMailTlsMode)) {
    err_set(err, "MAIL_CONFIG: incomplete");
    return -1;
  }
  if ((out.smtp_user[0] == '\0') != (out.smtp_password[0] == '\0')) {
    err_set(err, "MAIL_CONFIG: user and password go together");
    return -1;
  }
  return 0;
}

}  // namespace

int ipc_parse_mail_config(const IpcMessage& msg, MailSettings& out, std::span<char> err) {
  clear_err(err);
  mail_settings_reset(out);
  if (!check_type(msg, IpcType::kMailConfig, err)) {
    return -1;
  }
  // Fields are filled in place; defaults must not stand in for fields the message lacks.
  out.tls_mode = 0;
  out.timeout_seconds = 0;
  if (mail_config_walk(msg, out, err) != 0) {
    mail_settings_reset(out);
    return -1;
  }
  out.enabled = 1;
  return 0;
}

int ipc_parse_mail_send(const IpcMessage& msg, std::span<char> subject, std::span<char> body,
                        std::span<char> err) {
  clear_err(err);
  clear_text(subject);
  clear_text(body);
  if (!check_type(msg, IpcType::kMailSend, err)) {
    return -1;
  }
  auto fail = [&] {
    clear_text(subject);
    clear_text(body);
    return -1;
  };
  bool have_subject = false;
  bool have_body = false;
  if (walk_records(msg, "MAIL_SEND: malformed record", err, [&](const Record& rec) {
        if (rec.tag == kIpcTagSendSubject && !have_subject) {
          if (rec.length >= subject.size() || has_byte(rec.text(), '\0')) {
            err_set(err, "MAIL_SEND: bad subject");
            return -1;
          }
          if (has_byte(rec.text(), '\r') || has_byte(rec.text(), '\n')) {
            err_set(err, "MAIL_SEND: subject contains a line break");
            return -1;
          }
          copy_value(rec, subject);
          have_subject = true;
        } else if (rec.tag == kIpcTagSendBody && !have_body) {
          if (rec.length >= body.size() || has_byte(rec.text(), '\0')) {
            err_set(err, "MAIL_SEND: bad body");
            return -1;
          }
          copy_value(rec, body);
          have_body = true;
        } else {
          err_set(err, "MAIL_SEND: unexpected tag %u", rec.tag);
          return -1;
        }
        return 0;
      }) != 0) {
    return fail();
  }
  if (!have_subject || !have_body) {
    err_set(err, "MAIL_SEND: incomplete");
    return fail();
  }
  return 0;
}

int ipc_parse_mail_result(const IpcMessage& msg, uint32_t& status, std::span<char> text,
                          std::span<char> err) {
  clear_err(err);
  status = 0;
  clear_text(text);
  if (!check_type(msg, IpcType::kMailResult, err)) {
    return -1;
  }
  auto fail = [&] {
    status = 0;
    clear_text(text);
    return -1;
  };
  bool have_status = false;
  bool have_text = false;
  uint32_t value = 0;
  if (walk_records(msg, "MAIL_RESULT: malformed record", err, [&](const Record& rec) {
        if (rec.tag == kIpcTagResultStatus && !have_status) {
          if (!rec.is_u32()) {
            err_set(err, "MAIL_RESULT: bad status");
            return -1;
          }
          value = rec.u32();
          have_status = true;
        } else if (rec.tag == kIpcTagResultText && !have_text) {
          if (rec.length >= text.size() || has_byte(rec.text(), '\0')) {
            err_set(err, "MAIL_RESULT: bad error text");
            return -1;
          }
          copy_value(rec, text);
          have_text = true;
        } else {
          err_set(err, "MAIL_RESULT: unexpected tag %u", rec.tag);
          return -1;
        }
        return 0;
      }) != 0) {
    return fail();
  }
  if (!have_status) {
    err_set(err, "MAIL_RESULT: no status");
    return fail();
  }
  if (have_text != (value != 0)) {
    err_set(err, "MAIL_RESULT: error text must be present iff status != 0");
    return fail();
  }
  // The text ends up in log lines: no line breaks.
  for (char& c : text) {
    if (c == '\0') {
      break;
    }
    if (c == '\r' || c == '\n') {
      c = ' ';
    }
  }
  status = value;
  return 0;
}

void ipc_api_config_release(ApiTlsConfig& cfg) {
  pem_free(cfg.cert_pem, cfg.cert_length);
  pem_free(cfg.key_pem, cfg.key_length);
  cfg.max_clients = 0;
}

int ipc_parse_api_config(const IpcMessage& msg, ApiTlsConfig& out, std::span<char> err) {
  clear_err(err);
  ipc_api_config_release(out);
  if (!check_type(msg, IpcType::kApiConfig, err)) {
    return -1;
  }
  // Values are checked in the walk and copied only once the whole message is accepted, so a
  // refused message never allocates.
  Record cert;
  Record key;
  bool have_cert = false;
  bool have_key = false;
  bool have_max = false;
  uint32_t max_clients = 0;
  if (walk_records(msg, "API_CONFIG: malformed or incomplete", err, [&](const Record& rec) {
        if (rec.tag == kIpcTagApiCert && !have_cert) {
          if (!value_fits(rec, 1, kIpcPemMax, false)) {
            err_set(err, "API_CONFIG: bad certificate");
            return -1;
          }
          cert = rec;
          have_cert = true;
        } else if (rec.tag == kIpcTagApiKey && !have_key) {
          if (!value_fits(rec, 1, kIpcPemMax, false)) {
            err_set(err, "API_CONFIG: bad key");
            return -1;
          }
          key = rec;
          have_key = true;
        } else if (rec.tag == kIpcTagApiMaxClients && !have_max) {
          if (!rec.is_u32() || rec.u32() < 1 || rec.u32() > kIpcMaxClientsMax) {
            err_set(err, "API_CONFIG: bad max-clients");
            return -1;
          }
          max_clients = rec.u32();
          have_max = true;
        } else {
          err_set(err, "API_CONFIG: unexpected tag %u", rec.tag);
          return -1;
        }
        return 0;
      }) != 0) {
    return -1;
  }
  if (!have_cert || !have_key || !have_max) {
    err_set(err, "API_CONFIG: malformed or incomplete");
    return -1;
  }
  out.cert_pem = pem_copy(cert.text());
  out.cert_length = out.cert_pem != nullptr ? cert.length : 0;
  out.key_pem = pem_copy(key.text());
  out.key_length = out.key_pem != nullptr ? key.length : 0;
  if (out.cert_pem == nullptr || out.key_pem == nullptr) {
    ipc_api_config_release(out);
    err_set(err, "API_CONFIG: out of memory");
    return -1;
  }
  out.max_clients = max_clients;
  return 0;
}

void ipc_api_request_wipe(ApiRequest& req) {
  OPENSSL_cleanse(&req, sizeof(req));
  req = ApiRequest{};
}

namespace {

int api_request_walk(const IpcMessage& msg, ApiRequest& out, std::span<char> err) {
  TagSet seen(kApiRequestTagFirst);
  if (walk_records(msg, "API_REQUEST: malformed record", err, [&](const Record& rec) {
        if (rec.tag < kApiRequestTagFirst || rec.tag > kApiRequestTagLast ||
            seen.seen_before(rec.tag)) {
          err_set(err, "API_REQUEST: unexpected or duplicate tag %u", rec.tag);
          return -1;
        }
        switch (rec.tag) {
          case kIpcTagReqMethod:
            if (!take_text(rec, 1, true, out.method)) {
              err_set(err, "API_REQUEST: bad method");
              return -1;
            }
            break;
          case kIpcTagReqPath:
            if (!value_fits(rec, 1, kIpcPathSize - 1, true) || rec.value[0] != '/') {
              err_set(err, "API_REQUEST: bad path");
              return -1;
            }
            copy_value(rec, out.path);
            break;
          case kIpcTagReqQuery:
            if (!take_text(rec, 0, true, out.query)) {
              err_set(err, "API_REQUEST: bad query");
              return -1;
            }
            break;
          case kIpcTagReqAuthorization:
            if (!take_text(rec, 0, true, out.authorization)) {
              err_set(err, "API_REQUEST: bad authorization");
              return -1;
            }
            break;
          case kIpcTagReqIfMatch:
            if (!take_text(rec, 0, true, out.if_match)) {
              err_set(err, "API_REQUEST: bad if-match");
              return -1;
            }
            break;
          case kIpcTagReqClientAddress:
            if (!take_text(rec, 1, true, out.client_address)) {
              err_set(err, "API_REQUEST: bad client address");
              return -1;
            }
            break;
          case kIpcTagReqBody:
            if (rec.length > kIpcRequestBodyMax) {
              err_set(err, "API_REQUEST: body too large");
              return -1;
            }
            out.body = rec.value;
            out.body_length = rec.length;
            break;
          default:
            static_assert(kApiRequestTagUsedLast == kIpcTagReqBody);
            err_set(err, "API_REQUEST: unexpected tag %u", rec.tag);
            return -1;
        }
        return 0;
      }) != 0) {
    return -1;
  }
  if (out.method[0] == '\0' || out.path[0] == '\0' || out.client_address[0] == '\0') {
    err_set(err, "API_REQUEST: incomplete");
    return -1;
  }
  if (!ipc_method_allowed(text_view(out.method))) {
    err_set(err, "API_REQUEST: method not allowed");
    return -1;
  }
  return 0;
}

int api_response_walk(const IpcMessage& msg, ApiResponse& out, std::span<char> err) {
  TagSet seen(kApiResponseTagFirst);
  if (walk_records(msg, "API_RESPONSE: malformed record", err, [&](const Record& rec) {
        if (rec.tag < kApiResponseTagFirst || rec.tag > kApiResponseTagLast ||
            seen.seen_before(rec.tag)) {
          err_set(err, "API_RESPONSE: unexpected or duplicate tag %u", rec.tag);
          return -1;
        }
        switch (rec.tag) {
          case kIpcTagRespStatus:
            if (!rec.is_u32() || rec.u32() < kIpcStatusMin || rec.u32() > kIpcStatusMax) {
              err_set(err, "API_RESPONSE: bad status");
              return -1;
            }
            out.status = rec.u32();
            break;
          case kIpcTagRespEtag:
            if (!take_text(rec, 0, true, out.etag)) {
              err_set(err, "API_RESPONSE: bad etag");
              return -1;
            }
            break;
          case kIpcTagRespSignature:
            if (!take_text(rec, 0, true, out.signature)) {
              err_set(err, "API_RESPONSE: bad signature");
              return -1;
            }
            break;
          case kIpcTagRespFailedLogin:
            if (!rec.is_u32()) {
              err_set(err, "API_RESPONSE: bad flag");
              return -1;
            }
            out.failed_login = rec.u32() != 0 ? 1 : 0;
            break;
          case kIpcTagRespBody:
            if (rec.length > kIpcResponseBodyMax) {
              err_set(err, "API_RESPONSE: body too large");
              return -1;
            }
            out.body = rec.value;
            out.body_length = rec.length;
            break;
          default:
            static_assert(kApiResponseTagUsedLast == kIpcTagRespFailedLogin);
            err_set(err, "API_RESPONSE: unexpected tag %u", rec.tag);
            return -1;
        }
        return 0;
      }) != 0) {
    return -1;
  }
  if (!seen.has(kIpcTagRespStatus) || !seen.has(kIpcTagRespBody)) {
    err_set(err, "API_RESPONSE: incomplete");
    return -1;
  }
  return 0;
}

}  // namespace

int ipc_parse_api_request(const IpcMessage& msg, ApiRequest& out, std::span<char> err) {
  clear_err(err);
  ipc_api_request_wipe(out);
  if (!check_type(msg, IpcType::kApiRequest, err)) {
    return -1;
  }
  if (api_request_walk(msg, out, err) != 0) {
    ipc_api_request_wipe(out);
    return -1;
  }
  return 0;
}

int ipc_parse_api_response(const IpcMessage& msg, ApiResponse& out, std::span<char> err) {
  clear_err(err);
  out = ApiResponse{};
  if (!check_type(msg, IpcType::kApiResponse, err)) {
    return -1;
  }
  if (api_response_walk(msg, out, err) != 0) {
    out = ApiResponse{};
    return -1;
  }
  return 0;
}

}  // namespace vrk
