// libFuzzer target for the IPC parsers. The first input byte picks the message type and the
// rest is the payload behind a valid header, so the fuzzer spends its time in the record walks;
// the whole input is also tried as a complete message. Every accepted message is built again
// from the parsed record and must parse to the same record.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string_view>

#include "common/bytes.h"
#include "common/ipc.h"

namespace vrk {
namespace {

IpcBuffer g_in;
IpcBuffer g_out;

void check(bool ok) {
  if (!ok) {
    abort();
  }
}

// A refused message must leave a non-empty text that ends inside its buffer.
void check_result(int rc, const char (&err)[256]) {
  check(rc == 0 || rc == -1);
  if (rc != 0) {
    check(err[0] != '\0' && memchr(err, '\0', sizeof(err)) != nullptr);
  }
}

IpcMessage reparse(int build_rc) {
  check(build_rc == 0);
  IpcMessage msg;
  check(ipc_parse_header(g_out, msg) == 0);
  return msg;
}

bool same_text(const char* a, const char* b) {
  return strcmp(a, b) == 0;
}

bool same_mail(const MailSettings& a, const MailSettings& b) {
  if (a.enabled != b.enabled || !same_text(a.smtp_host, b.smtp_host) ||
      a.smtp_port != b.smtp_port || a.tls_mode != b.tls_mode ||
      !same_text(a.smtp_user, b.smtp_user) || !same_text(a.smtp_password, b.smtp_password) ||
      !same_text(a.from, b.from) || a.recipient_count != b.recipient_count ||
      !same_text(a.ca_file, b.ca_file) || a.timeout_seconds != b.timeout_seconds) {
    return false;
  }
  for (int i = 0; i < a.recipient_count; ++i) {
    if (!same_text(a.recipients[i], b.recipients[i])) {
      return false;
    }
  }
  return true;
}

bool same_bytes(const uint8_t* a, uint32_t alen, const uint8_t* b, uint32_t blen) {
  return alen == blen && (alen == 0 || memcmp(a, b, alen) == 0);
}

void fuzz_hello(const IpcMessage& msg) {
  char err[256];
  uint32_t pid = 0;
  int rc = ipc_parse_hello(msg, pid, err);
  check_result(rc, err);
  if (rc == 0) {
    uint32_t again = 0;
    check(ipc_parse_hello(reparse(ipc_build_hello(g_out, pid)), again, err) == 0 && again == pid);
  }
}

void fuzz_mail_config(const IpcMessage& msg) {
  static MailSettings mail;
  static MailSettings again;
  char err[256];
  int rc = ipc_parse_mail_config(msg, mail, err);
  check_result(rc, err);
  if (rc == 0) {
    IpcMessage m = reparse(ipc_build_mail_config(g_out, msg.id, mail));
    check(ipc_parse_mail_config(m, again, err) == 0 && same_mail(mail, again));
  }
}

void fuzz_mail_send(const IpcMessage& msg) {
  static char subject[kIpcMailSubjectSize];
  static char body[kIpcMailBodySize];
  static char subject2[kIpcMailSubjectSize];
  static char body2[kIpcMailBodySize];
  char err[256];
  int rc = ipc_parse_mail_send(msg, subject, body, err);
  check_result(rc, err);
  if (rc == 0) {
    IpcMessage m = reparse(ipc_build_mail_send(g_out, msg.id, subject, body));
    check(ipc_parse_mail_send(m, subject2, body2, err) == 0);
    check(same_text(subject, subject2) && same_text(body, body2));
  }
}

void fuzz_mail_result(const IpcMessage& msg) {
  char text[kIpcMailErrorSize];
  char text2[kIpcMailErrorSize];
  char err[256];
  uint32_t status = 0;
  int rc = ipc_parse_mail_result(msg, status, text, err);
  check_result(rc, err);
  if (rc == 0) {
    uint32_t status2 = 0;
    IpcMessage m = reparse(ipc_build_mail_result(g_out, msg.id, status, text));
    check(ipc_parse_mail_result(m, status2, text2, err) == 0 && status2 == status);
    // The builder sends an empty failure text as "unknown error".
    check(same_text(text2, status != 0 && text[0] == '\0' ? "unknown error" : text));
  }
}

void fuzz_api_config(const IpcMessage& msg) {
  ApiTlsConfig cfg;
  ApiTlsConfig again;
  char err[256];
  int rc = ipc_parse_api_config(msg, cfg, err);
  check_result(rc, err);
  if (rc == 0) {
    IpcMessage m = reparse(ipc_build_api_config(g_out, msg.id, cfg.cert_pem.view(),
                                                cfg.key_pem.view(), cfg.max_clients));
    check(ipc_parse_api_config(m, again, err) == 0);
    check(cfg.cert_pem.view() == again.cert_pem.view() &&
          cfg.key_pem.view() == again.key_pem.view() && cfg.max_clients == again.max_clients);
  } else {
    check(cfg.cert_pem.empty() && cfg.key_pem.empty());
  }
  ipc_api_config_release(cfg);
  ipc_api_config_release(again);
}

void fuzz_api_request(const IpcMessage& msg) {
  static ApiRequest req;
  static ApiRequest again;
  char err[256];
  int rc = ipc_parse_api_request(msg, req, err);
  check_result(rc, err);
  if (rc == 0) {
    IpcMessage m = reparse(ipc_build_api_request(g_out, msg.id, req));
    check(ipc_parse_api_request(m, again, err) == 0);
    check(same_text(req.method, again.method) && same_text(req.path, again.path) &&
          same_text(req.query, again.query) && same_text(req.authorization, again.authorization) &&
          same_text(req.if_match, again.if_match) &&
          same_text(req.client_address, again.client_address) &&
          same_bytes(req.body, req.body_length, again.body, again.body_length));
  }
}

void fuzz_api_response(const IpcMessage& msg) {
  ApiResponse resp;
  ApiResponse again;
  char err[256];
  int rc = ipc_parse_api_response(msg, resp, err);
  check_result(rc, err);
  if (rc == 0) {
    IpcMessage m = reparse(ipc_build_api_response(g_out, msg.id, resp));
    check(ipc_parse_api_response(m, again, err) == 0);
    check(resp.status == again.status && same_text(resp.etag, again.etag) &&
          same_text(resp.signature, again.signature) && resp.failed_login == again.failed_login &&
          same_bytes(resp.body, resp.body_length, again.body, again.body_length));
  }
}

// Every parser sees every message: the six of other types must refuse it by its type.
void fuzz_all(const IpcMessage& msg) {
  fuzz_hello(msg);
  fuzz_mail_config(msg);
  fuzz_mail_send(msg);
  fuzz_mail_result(msg);
  fuzz_api_config(msg);
  fuzz_api_request(msg);
  fuzz_api_response(msg);
}

// A valid header of the type picked by the first input byte, then the rest as payload.
void fuzz_payload(uint8_t pick, const uint8_t* payload, size_t length) {
  ipc_begin(g_in, static_cast<IpcType>(pick % 7 + 1), 1);
  memcpy(g_in.bytes + kIpcHeaderBytes, payload, length);
  g_in.length = static_cast<uint32_t>(kIpcHeaderBytes + length);
  put_u32le(g_in.bytes + kIpcHeaderPayloadLengthOffset, static_cast<uint32_t>(length));
  IpcMessage msg;
  check(ipc_parse_header(g_in, msg) == 0);
  fuzz_all(msg);
}

}  // namespace
}  // namespace vrk

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vrk::IpcMessage msg;
  if (vrk::ipc_parse_header(data, size, msg) == 0) {
    vrk::fuzz_all(msg);
  }
  if (size == 0 || size - 1 > vrk::kIpcMaxMessage - vrk::kIpcHeaderBytes) {
    return 0;
  }
  vrk::fuzz_payload(data[0], data + 1, size - 1);
  return 0;
}
