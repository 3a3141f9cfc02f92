// The IPC messages described as data, internal to the codec. One table per message type lists
// its fields in the order the builder writes them: tag, presence, limits, byte rule, the
// parser's text for a refused value, and where the value lives in the message's record. The
// builders (ipc.cc) and the parsers (ipc_parse.cc) both walk these tables, so no rule is
// written twice.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <array>
#include <span>
#include <string_view>
#include <type_traits>

#include "common/ipc.h"
#include "common/mail_settings.h"
#include "common/text.h"

namespace vrk {

// --- Fields ---------------------------------------------------------------------------------

enum class IpcKind : uint8_t {
  kU32,   // L = 4, a value within [min, max]
  kFlag,  // L = 4, any value; held as 0 or 1 and sent (as 1) only when set
  kText,  // L within [min, max], bytes by IpcBytes
  kBody,  // raw bytes, L within [min, max]
};

// What the bytes of a text may be. Every rule but kAny (bodies) refuses NUL.
enum class IpcBytes : uint8_t {
  kAny,
  kNoNul,
  kPrintable,  // 0x20..0x7E only
  kAddress,    // a plain mail address (mail_address_valid)
  kPath,       // printable and starting with "/"
  kOneLine,    // no NUL; a CR or LF gets the field's own line-break text
};

enum class IpcPresence : uint8_t {
  kOnce,      // exactly once; the builder writes it even when empty
  kNonEmpty,  // exactly once and not empty: an empty value counts as missing
  kOptional,  // at most once; the builder writes it only when non-empty (a flag: when set)
  kList,      // 1..max_count times, in list order
};

struct IpcRule {
  IpcKind kind = IpcKind::kText;
  size_t min = 0;  // numbers: the smallest value; texts and bodies: the shortest length
  size_t max = 0;
  IpcBytes bytes = IpcBytes::kNoNul;
};

// One value as the rules see it: the number of a u32 or flag, the bytes of a text or body.
struct IpcValue {
  uint32_t number = 0;
  std::string_view bytes;
};

enum class IpcVerdict { kAccepted, kRefused, kLineBreak };

// The one check of a value against its field's rule, for the builders and the parsers alike.
IpcVerdict ipc_rule_check(const IpcRule& rule, const IpcValue& value);

template <typename Rec>
struct IpcField {
  uint16_t tag = 0;
  IpcPresence presence = IpcPresence::kOnce;
  IpcRule rule;
  const char* bad = "";         // the parser's text for a refused value
  const char* line_break = "";  // kOneLine: the parser's text for a CR or LF
  // Where the value lives in Rec. get reads it for the builder (false when the record holds
  // nothing that can be sent, such as a body length without bytes); set stores an accepted
  // value. index is the entry of a list, else 0.
  bool (*get)(const Rec& rec, int index, IpcValue& value) = nullptr;
  void (*set)(Rec& rec, int index, const IpcValue& value) = nullptr;
  // kList only: the record's entry count, the most entries, and the text for one more.
  int32_t Rec::*count = nullptr;
  int max_count = 1;
  const char* too_many = "";
};

// The record and field type of a member pointer, so a row names its field only once.
template <typename M>
struct IpcMemberOf;
template <typename Rec, typename T>
struct IpcMemberOf<T Rec::*> {
  using Record = Rec;
  using Type = T;
};
template <auto M>
using IpcRecordOf = typename IpcMemberOf<decltype(M)>::Record;
template <auto M>
using IpcTypeOf = typename IpcMemberOf<decltype(M)>::Type;

// Copies an accepted value, shorter than dst, into dst with its NUL.
inline void ipc_copy_value(std::span<char> dst, std::string_view value) {
  if (!value.empty()) {
    memcpy(dst.data(), value.data(), value.size());
  }
  dst[value.size()] = '\0';
}

// A u32 held in member M, exactly once.
template <auto M>
constexpr IpcField<IpcRecordOf<M>> ipc_u32_field(uint16_t tag, uint32_t min, uint32_t max,
                                                 const char* bad) {
  using Rec = IpcRecordOf<M>;
  IpcField<Rec> f;
  f.tag = tag;
  f.rule = {IpcKind::kU32, min, max, IpcBytes::kAny};
  f.bad = bad;
  f.get = [](const Rec& r, int, IpcValue& v) {
    v.number = r.*M;
    return true;
  };
  f.set = [](Rec& r, int, const IpcValue& v) { r.*M = v.number; };
  return f;
}

// An optional flag held in member M as 0 or 1.
template <auto M>
constexpr IpcField<IpcRecordOf<M>> ipc_flag_field(uint16_t tag, const char* bad) {
  using Rec = IpcRecordOf<M>;
  IpcField<Rec> f;
  f.tag = tag;
  f.presence = IpcPresence::kOptional;
  f.rule = {IpcKind::kFlag, 0, UINT32_MAX, IpcBytes::kAny};
  f.bad = bad;
  f.get = [](const Rec& r, int, IpcValue& v) {
    v.number = r.*M != 0 ? 1 : 0;
    return true;
  };
  f.set = [](Rec& r, int, const IpcValue& v) { r.*M = v.number != 0 ? 1 : 0; };
  return f;
}

// A text held in the NUL-terminated array M: at most its size - 1 bytes.
template <auto M>
constexpr IpcField<IpcRecordOf<M>> ipc_text_field(uint16_t tag, IpcPresence presence, size_t min,
                                                  IpcBytes bytes, const char* bad) {
  using Rec = IpcRecordOf<M>;
  IpcField<Rec> f;
  f.tag = tag;
  f.presence = presence;
  f.rule = {IpcKind::kText, min, std::extent_v<IpcTypeOf<M>> - 1, bytes};
  f.bad = bad;
  f.get = [](const Rec& r, int, IpcValue& v) {
    v.bytes = text_view(r.*M);
    return true;
  };
  f.set = [](Rec& r, int, const IpcValue& v) { ipc_copy_value(r.*M, v.bytes); };
  return f;
}

// A list of texts held in the array of arrays M with its entry count in Count.
template <auto M, auto Count>
constexpr IpcField<IpcRecordOf<M>> ipc_list_field(uint16_t tag, size_t min, IpcBytes bytes,
                                                  const char* bad, const char* too_many) {
  using Rec = IpcRecordOf<M>;
  using Entry = std::remove_extent_t<IpcTypeOf<M>>;
  IpcField<Rec> f;
  f.tag = tag;
  f.presence = IpcPresence::kList;
  f.rule = {IpcKind::kText, min, std::extent_v<Entry> - 1, bytes};
  f.bad = bad;
  f.get = [](const Rec& r, int i, IpcValue& v) {
    v.bytes = text_view((r.*M)[i]);
    return true;
  };
  f.set = [](Rec& r, int i, const IpcValue& v) { ipc_copy_value((r.*M)[i], v.bytes); };
  f.count = Count;
  f.max_count = static_cast<int>(std::extent_v<IpcTypeOf<M>>);
  f.too_many = too_many;
  return f;
}

// A text borrowed through the string_view M: the sender's bytes, or the received payload.
template <auto M>
constexpr IpcField<IpcRecordOf<M>> ipc_view_field(uint16_t tag, IpcPresence presence, IpcRule rule,
                                                  const char* bad, const char* line_break = "") {
  using Rec = IpcRecordOf<M>;
  IpcField<Rec> f;
  f.tag = tag;
  f.presence = presence;
  f.rule = rule;
  f.bad = bad;
  f.line_break = line_break;
  f.get = [](const Rec& r, int, IpcValue& v) {
    v.bytes = r.*M;
    return true;
  };
  f.set = [](Rec& r, int, const IpcValue& v) { r.*M = v.bytes; };
  return f;
}

// A body borrowed through the pointer Data and its length Length.
template <auto Data, auto Length>
constexpr IpcField<IpcRecordOf<Data>> ipc_body_field(uint16_t tag, IpcPresence presence, size_t max,
                                                     const char* bad) {
  using Rec = IpcRecordOf<Data>;
  IpcField<Rec> f;
  f.tag = tag;
  f.presence = presence;
  f.rule = {IpcKind::kBody, 0, max, IpcBytes::kAny};
  f.bad = bad;
  f.get = [](const Rec& r, int, IpcValue& v) {
    if (r.*Data == nullptr && r.*Length != 0) {
      return false;
    }
    v.bytes = std::string_view(reinterpret_cast<const char*>(r.*Data), r.*Length);
    return true;
  };
  f.set = [](Rec& r, int, const IpcValue& v) {
    r.*Data = reinterpret_cast<const uint8_t*>(v.bytes.data());
    r.*Length = static_cast<uint32_t>(v.bytes.size());
  };
  return f;
}

// A text that must fit a receiver's buffer of size bytes, NUL included; an empty buffer holds
// none.
constexpr IpcRule ipc_buffer_rule(size_t size, IpcBytes bytes) {
  return size == 0 ? IpcRule{IpcKind::kText, 1, 0, bytes}
                   : IpcRule{IpcKind::kText, 0, size - 1, bytes};
}

// --- Messages -------------------------------------------------------------------------------

// What a message's parser says about its records as a whole. A tag outside first_tag..last_tag
// gets "<name>: <outside> %u"; a tag inside that names no field "<name>: unexpected tag %u";
// a field seen twice (not a list) "<name>: <repeated> %u".
struct IpcMessageTexts {
  const char* name = "";
  const char* malformed = "";   // a record that overruns the payload
  const char* incomplete = "";  // a required field missing after the walk
  const char* repeated = "";
  uint16_t first_tag = 0;
  uint16_t last_tag = UINT16_MAX;
  const char* outside = "";
};

// The values of the messages that have no record of their own. Texts borrow the sender's
// bytes or the received payload.
struct IpcHelloFields {
  uint32_t pid = 0;
};
struct IpcMailSendFields {
  std::string_view subject;
  std::string_view body;
};
struct IpcMailResultFields {
  uint32_t status = 0;
  std::string_view text;
};
struct IpcApiConfigFields {
  std::string_view cert_pem;
  std::string_view key_pem;
  uint32_t max_clients = 0;
};

inline constexpr IpcMessageTexts kIpcHelloTexts = {"HELLO", "HELLO: malformed record",
                                                   "HELLO: no pid", "unexpected tag"};
inline constexpr std::array kIpcHelloFields = {
    ipc_u32_field<&IpcHelloFields::pid>(kIpcTagHelloPid, 0, UINT32_MAX, "HELLO: bad pid"),
};

inline constexpr IpcMessageTexts kIpcMailConfigTexts = {
    "MAIL_CONFIG", "MAIL_CONFIG: malformed record", "MAIL_CONFIG: incomplete", "duplicate tag"};
inline constexpr std::array kIpcMailConfigFields = {
    ipc_text_field<&MailSettings::smtp_host>(kIpcTagMailHost, IpcPresence::kNonEmpty, 0,
                                             IpcBytes::kNoNul, "MAIL_CONFIG: bad host"),
    ipc_u32_field<&MailSettings::smtp_port>(kIpcTagMailPort, 1, 65535, "MAIL_CONFIG: bad port"),
    ipc_u32_field<&MailSettings::tls_mode>(kIpcTagMailTlsMode, kMailTlsNone, kMailTlsSmtps,
                                           "MAIL_CONFIG: bad tls mode"),
    ipc_text_field<&MailSettings::smtp_user>(kIpcTagMailUser, IpcPresence::kOptional, 0,
                                             IpcBytes::kNoNul, "MAIL_CONFIG: bad user"),
    ipc_text_field<&MailSettings::smtp_password>(kIpcTagMailPassword, IpcPresence::kOptional, 0,
                                                 IpcBytes::kNoNul, "MAIL_CONFIG: bad password"),
    ipc_text_field<&MailSettings::from>(kIpcTagMailFrom, IpcPresence::kOnce, 1, IpcBytes::kAddress,
                                        "MAIL_CONFIG: bad from"),
    ipc_list_field<&MailSettings::recipients, &MailSettings::recipient_count>(
        kIpcTagMailRecipient, 1, IpcBytes::kAddress, "MAIL_CONFIG: bad recipient",
        "MAIL_CONFIG: too many recipients"),
    ipc_text_field<&MailSettings::ca_file>(kIpcTagMailCaFile, IpcPresence::kOptional, 0,
                                           IpcBytes::kNoNul, "MAIL_CONFIG: bad ca-file"),
    ipc_u32_field<&MailSettings::timeout_seconds>(kIpcTagMailTimeout, 1, UINT32_MAX,
                                                  "MAIL_CONFIG: bad timeout"),
};

// The rule across MAIL_CONFIG's fields: a user and a password come together or not at all.
inline bool ipc_mail_credentials_paired(const MailSettings& mail) {
  return (mail.smtp_user[0] == '\0') == (mail.smtp_password[0] == '\0');
}

// MAIL_SEND's and MAIL_RESULT's texts are limited by the receiver's buffers: the builders use
// the sizes the receivers pass, the parsers the buffers they are given.
inline constexpr IpcMessageTexts kIpcMailSendTexts = {"MAIL_SEND", "MAIL_SEND: malformed record",
                                                      "MAIL_SEND: incomplete", "unexpected tag"};
constexpr std::array<IpcField<IpcMailSendFields>, 2> ipc_mail_send_fields(size_t subject_size,
                                                                          size_t body_size) {
  return {
      ipc_view_field<&IpcMailSendFields::subject>(
          kIpcTagSendSubject, IpcPresence::kOnce, ipc_buffer_rule(subject_size, IpcBytes::kOneLine),
          "MAIL_SEND: bad subject", "MAIL_SEND: subject contains a line break"),
      ipc_view_field<&IpcMailSendFields::body>(kIpcTagSendBody, IpcPresence::kOnce,
                                               ipc_buffer_rule(body_size, IpcBytes::kNoNul),
                                               "MAIL_SEND: bad body"),
  };
}

// The error text goes with a non-zero status only; the parser checks that after the walk.
inline constexpr IpcMessageTexts kIpcMailResultTexts = {
    "MAIL_RESULT", "MAIL_RESULT: malformed record", "MAIL_RESULT: no status", "unexpected tag"};
constexpr std::array<IpcField<IpcMailResultFields>, 2> ipc_mail_result_fields(size_t text_size) {
  return {
      ipc_u32_field<&IpcMailResultFields::status>(kIpcTagResultStatus, 0, UINT32_MAX,
                                                  "MAIL_RESULT: bad status"),
      ipc_view_field<&IpcMailResultFields::text>(kIpcTagResultText, IpcPresence::kOptional,
                                                 ipc_buffer_rule(text_size, IpcBytes::kNoNul),
                                                 "MAIL_RESULT: bad error text"),
  };
}

// A missing field and a malformed record read the same in API_CONFIG.
inline constexpr IpcMessageTexts kIpcApiConfigTexts = {
    "API_CONFIG", "API_CONFIG: malformed or incomplete", "API_CONFIG: malformed or incomplete",
    "unexpected tag"};
inline constexpr IpcRule kIpcPemRule = {IpcKind::kText, 1, kIpcPemMax, IpcBytes::kNoNul};
inline constexpr std::array kIpcApiConfigFields = {
    ipc_view_field<&IpcApiConfigFields::cert_pem>(kIpcTagApiCert, IpcPresence::kOnce, kIpcPemRule,
                                                  "API_CONFIG: bad certificate"),
    ipc_view_field<&IpcApiConfigFields::key_pem>(kIpcTagApiKey, IpcPresence::kOnce, kIpcPemRule,
                                                 "API_CONFIG: bad key"),
    ipc_u32_field<&IpcApiConfigFields::max_clients>(kIpcTagApiMaxClients, 1, kIpcMaxClientsMax,
                                                    "API_CONFIG: bad max-clients"),
};

// API_REQUEST and API_RESPONSE each reserve a block of ten tags; the unused part of a block is
// "unexpected", a tag outside it (the other message's tags too) "unexpected or duplicate".
inline constexpr uint16_t kIpcApiRequestTagLast = 59;
inline constexpr uint16_t kIpcApiResponseTagLast = 69;
inline constexpr IpcMessageTexts kIpcApiRequestTexts = {"API_REQUEST",
                                                        "API_REQUEST: malformed record",
                                                        "API_REQUEST: incomplete",
                                                        "unexpected or duplicate tag",
                                                        kIpcTagReqMethod,
                                                        kIpcApiRequestTagLast,
                                                        "unexpected or duplicate tag"};
inline constexpr std::array kIpcApiRequestFields = {
    ipc_text_field<&ApiRequest::method>(kIpcTagReqMethod, IpcPresence::kOnce, 1,
                                        IpcBytes::kPrintable, "API_REQUEST: bad method"),
    ipc_text_field<&ApiRequest::path>(kIpcTagReqPath, IpcPresence::kOnce, 1, IpcBytes::kPath,
                                      "API_REQUEST: bad path"),
    ipc_text_field<&ApiRequest::query>(kIpcTagReqQuery, IpcPresence::kOptional, 0,
                                       IpcBytes::kPrintable, "API_REQUEST: bad query"),
    ipc_text_field<&ApiRequest::authorization>(kIpcTagReqAuthorization, IpcPresence::kOptional, 0,
                                               IpcBytes::kPrintable,
                                               "API_REQUEST: bad authorization"),
    ipc_text_field<&ApiRequest::if_match>(kIpcTagReqIfMatch, IpcPresence::kOptional, 0,
                                          IpcBytes::kPrintable, "API_REQUEST: bad if-match"),
    ipc_text_field<&ApiRequest::client_address>(kIpcTagReqClientAddress, IpcPresence::kOnce, 1,
                                                IpcBytes::kPrintable,
                                                "API_REQUEST: bad client address"),
    ipc_body_field<&ApiRequest::body, &ApiRequest::body_length>(
        kIpcTagReqBody, IpcPresence::kOptional, kIpcRequestBodyMax, "API_REQUEST: body too large"),
};

// The response writes the failed-login flag before the body.
inline constexpr IpcMessageTexts kIpcApiResponseTexts = {"API_RESPONSE",
                                                         "API_RESPONSE: malformed record",
                                                         "API_RESPONSE: incomplete",
                                                         "unexpected or duplicate tag",
                                                         kIpcTagRespStatus,
                                                         kIpcApiResponseTagLast,
                                                         "unexpected or duplicate tag"};
inline constexpr std::array kIpcApiResponseFields = {
    ipc_u32_field<&ApiResponse::status>(kIpcTagRespStatus, kIpcStatusMin, kIpcStatusMax,
                                        "API_RESPONSE: bad status"),
    ipc_text_field<&ApiResponse::etag>(kIpcTagRespEtag, IpcPresence::kOptional, 0,
                                       IpcBytes::kPrintable, "API_RESPONSE: bad etag"),
    ipc_text_field<&ApiResponse::signature>(kIpcTagRespSignature, IpcPresence::kOptional, 0,
                                            IpcBytes::kPrintable, "API_RESPONSE: bad signature"),
    ipc_flag_field<&ApiResponse::failed_login>(kIpcTagRespFailedLogin, "API_RESPONSE: bad flag"),
    ipc_body_field<&ApiResponse::body, &ApiResponse::body_length>(
        kIpcTagRespBody, IpcPresence::kOnce, kIpcResponseBodyMax, "API_RESPONSE: body too large"),
};

}  // namespace vrk
