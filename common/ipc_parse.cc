// The strict IPC parsers: one per message type, each a shared record walk over its message's
// table in ipc_fields.h. The order of the checks decides which text a bad message gets: the
// walk checks each record as it comes (tag, repetition, value), then whether every required
// field was filled, then the message's rules across fields. Both programs run this same code,
// so both ends refuse the same bytes.
#include <array>
#include <bit>

#include "common/bytes.h"
#include "common/error.h"
#include "common/ipc.h"
#include "common/ipc_fields.h"
#include "common/secret_text.h"
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

// The record's value as its field reads it; false for a number whose L is not 4.
bool decode(const Record& rec, IpcKind kind, IpcValue& v) {
  if (kind == IpcKind::kU32 || kind == IpcKind::kFlag) {
    if (!rec.is_u32()) {
      return false;
    }
    v.number = rec.u32();
    return true;
  }
  v.bytes = rec.text();
  return true;
}

// The bit of the field with this tag in a mask of fields.
template <typename Rec, size_t N>
uint32_t field_bit(const std::array<IpcField<Rec>, N>& fields, uint16_t tag) {
  for (size_t i = 0; i < N; ++i) {
    if (fields[i].tag == tag) {
      return uint32_t{1} << i;
    }
  }
  return 0;
}

// The walk over msg's records against fields: each record's tag must name a field, the field
// must not be seen twice (a list: not more often than it holds), and the value must pass the
// field's rule; it is then stored in out. After the walk every field that is not optional must
// have been filled. 0 with seen holding a bit per field met, or -1 with one text in err.
template <typename Rec, size_t N>
int parse_fields(const IpcMessage& msg, const IpcMessageTexts& texts,
                 const std::array<IpcField<Rec>, N>& fields, Rec& out, uint32_t& seen,
                 std::span<char> err) {
  static_assert(N <= 32, "one bit per field");
  seen = 0;
  uint32_t filled = 0;
  if (walk_records(msg, texts.malformed, err, [&](const Record& rec) {
        if (rec.tag < texts.first_tag || rec.tag > texts.last_tag) {
          err_set(err, "%s: %s %u", texts.name, texts.outside, rec.tag);
          return -1;
        }
        uint32_t bit = field_bit(fields, rec.tag);
        if (bit == 0) {
          err_set(err, "%s: unexpected tag %u", texts.name, rec.tag);
          return -1;
        }
        const IpcField<Rec>& f = fields[std::countr_zero(bit)];
        int index = 0;
        if (f.presence == IpcPresence::kList) {
          index = out.*f.count;
          if (index >= f.max_count) {
            err_set(err, "%s", f.too_many);
            return -1;
          }
        } else if ((seen & bit) != 0) {
          err_set(err, "%s: %s %u", texts.name, texts.repeated, rec.tag);
          return -1;
        }
        seen |= bit;
        IpcValue v;
        IpcVerdict verdict =
            decode(rec, f.rule.kind, v) ? ipc_rule_check(f.rule, v) : IpcVerdict::kRefused;
        if (verdict != IpcVerdict::kAccepted) {
          err_set(err, "%s", verdict == IpcVerdict::kLineBreak ? f.line_break : f.bad);
          return -1;
        }
        f.set(out, index, v);
        if (f.presence == IpcPresence::kList) {
          ++(out.*f.count);
        }
        if (f.presence != IpcPresence::kNonEmpty || !v.bytes.empty()) {
          filled |= bit;
        }
        return 0;
      }) != 0) {
    return -1;
  }
  for (size_t i = 0; i < N; ++i) {
    if (fields[i].presence != IpcPresence::kOptional && (filled & (uint32_t{1} << i)) == 0) {
      err_set(err, "%s", texts.incomplete);
      return -1;
    }
  }
  return 0;
}

template <typename Rec, size_t N>
int parse_fields(const IpcMessage& msg, const IpcMessageTexts& texts,
                 const std::array<IpcField<Rec>, N>& fields, Rec& out, std::span<char> err) {
  uint32_t seen = 0;
  return parse_fields(msg, texts, fields, out, seen, err);
}

}  // namespace

int ipc_parse_hello(const IpcMessage& msg, uint32_t& pid, std::span<char> err) {
  clear_err(err);
  pid = 0;
  if (!check_type(msg, IpcType::kHello, err)) {
    return -1;
  }
  IpcHelloFields in;
  if (parse_fields(msg, kIpcHelloTexts, kIpcHelloFields, in, err) != 0) {
    return -1;
  }
  pid = in.pid;
  return 0;
}

int ipc_parse_mail_config(const IpcMessage& msg, MailSettings& out, std::span<char> err) {
  clear_err(err);
  secret_wipe(out);
  if (!check_type(msg, IpcType::kMailConfig, err)) {
    return -1;
  }
  // Fields are filled in place; defaults must not stand in for fields the message lacks.
  out.tls_mode = 0;
  out.timeout_seconds = 0;
  if (parse_fields(msg, kIpcMailConfigTexts, kIpcMailConfigFields, out, err) != 0) {
    secret_wipe(out);
    return -1;
  }
  if (!ipc_mail_credentials_paired(out)) {
    err_set(err, "MAIL_CONFIG: user and password go together");
    secret_wipe(out);
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
  IpcMailSendFields in;
  if (parse_fields(msg, kIpcMailSendTexts, ipc_mail_send_fields(subject.size(), body.size()), in,
                   err) != 0) {
    return -1;
  }
  ipc_copy_value(subject, in.subject);
  ipc_copy_value(body, in.body);
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
  const auto fields = ipc_mail_result_fields(text.size());
  IpcMailResultFields in;
  uint32_t seen = 0;
  if (parse_fields(msg, kIpcMailResultTexts, fields, in, seen, err) != 0) {
    return -1;
  }
  bool have_text = (seen & field_bit(fields, kIpcTagResultText)) != 0;
  if (have_text != (in.status != 0)) {
    err_set(err, "MAIL_RESULT: error text must be present iff status != 0");
    return -1;
  }
  if (have_text) {
    ipc_copy_value(text, in.text);
    // The text ends up in log lines: no line breaks.
    for (size_t i = 0; i < in.text.size(); ++i) {
      if (text[i] == '\r' || text[i] == '\n') {
        text[i] = ' ';
      }
    }
  }
  status = in.status;
  return 0;
}

void ipc_api_config_release(ApiTlsConfig& cfg) {
  cfg.cert_pem.clear();
  cfg.key_pem.clear();
  cfg.max_clients = 0;
}

int ipc_parse_api_config(const IpcMessage& msg, ApiTlsConfig& out, std::span<char> err) {
  clear_err(err);
  ipc_api_config_release(out);
  if (!check_type(msg, IpcType::kApiConfig, err)) {
    return -1;
  }
  // The texts are copied only once the whole message is accepted, so a refused message never
  // allocates.
  IpcApiConfigFields in;
  if (parse_fields(msg, kIpcApiConfigTexts, kIpcApiConfigFields, in, err) != 0) {
    return -1;
  }
  if (!out.cert_pem.assign(in.cert_pem) || !out.key_pem.assign(in.key_pem)) {
    ipc_api_config_release(out);
    err_set(err, "API_CONFIG: out of memory");
    return -1;
  }
  out.max_clients = in.max_clients;
  return 0;
}

void ipc_api_request_wipe(ApiRequest& req) {
  secret_wipe(req);
}

int ipc_parse_api_request(const IpcMessage& msg, ApiRequest& out, std::span<char> err) {
  clear_err(err);
  ipc_api_request_wipe(out);
  if (!check_type(msg, IpcType::kApiRequest, err)) {
    return -1;
  }
  if (parse_fields(msg, kIpcApiRequestTexts, kIpcApiRequestFields, out, err) != 0) {
    ipc_api_request_wipe(out);
    return -1;
  }
  if (!ipc_method_allowed(text_view(out.method))) {
    err_set(err, "API_REQUEST: method not allowed");
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
  if (parse_fields(msg, kIpcApiResponseTexts, kIpcApiResponseFields, out, err) != 0) {
    out = ApiResponse{};
    return -1;
  }
  return 0;
}

}  // namespace vrk
