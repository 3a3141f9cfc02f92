#include "common/ipc.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/fd.h"
#include "common/text.h"

namespace vrk {
namespace {

using Bytes = std::vector<uint8_t>;

// --- Hand-made wire bytes, independent of the codec's own writer --------------------------

struct Rec {
  uint16_t tag;
  std::string value;
};
using Recs = std::vector<Rec>;

std::string u32v(uint32_t v) {
  return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                     static_cast<char>(v >> 24)};
}

void push_u16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void push_u32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
}

// A message of the given type: header with the right payload length, the records, then any
// raw trailing bytes.
Bytes wire(IpcType type, const Recs& recs, std::string_view trailing = {}) {
  Bytes b = {'V', 'R', 'K', 'S', 1, 0};
  push_u16(b, static_cast<uint16_t>(type));
  push_u32(b, 5);
  push_u32(b, 0);
  for (const Rec& r : recs) {
    push_u16(b, r.tag);
    push_u32(b, static_cast<uint32_t>(r.value.size()));
    b.insert(b.end(), r.value.begin(), r.value.end());
  }
  b.insert(b.end(), trailing.begin(), trailing.end());
  uint32_t payload = static_cast<uint32_t>(b.size() - kIpcHeaderBytes);
  for (int i = 0; i < 4; ++i) {
    b[12 + i] = static_cast<uint8_t>(payload >> (8 * i));
  }
  return b;
}

Recs with(Recs recs, const Recs& extra) {
  recs.insert(recs.end(), extra.begin(), extra.end());
  return recs;
}
Recs without(Recs recs, uint16_t tag) {
  std::erase_if(recs, [tag](const Rec& r) { return r.tag == tag; });
  return recs;
}
Recs replaced(Recs recs, uint16_t tag, std::string value) {
  for (Rec& r : recs) {
    if (r.tag == tag) {
      r.value = value;
    }
  }
  return recs;
}

template <size_t N>
void fill(char (&dst)[N], std::string_view text) {
  ASSERT_TRUE(text_copy(dst, text));
}

Bytes built(const IpcBuffer& buf) {
  return Bytes(buf.bytes, buf.bytes + buf.length);
}

// One table row: the message, and the text its parser must write ("" = accepted).
struct Case {
  const char* name;
  Bytes msg;
  std::string want;
};

template <typename Parse>
void run_cases(const std::vector<Case>& cases, Parse parse) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    IpcMessage msg;
    ASSERT_EQ(ipc_parse_header(c.msg.data(), c.msg.size(), msg), 0);
    char err[128] = "stale";
    int rc = parse(msg, std::span<char>(err));
    EXPECT_EQ(rc, c.want.empty() ? 0 : -1);
    EXPECT_EQ(std::string(err), c.want);
  }
}

// --- Golden bytes -------------------------------------------------------------------------

TEST(IpcBuild, GoldenBytesForEveryType) {
  auto buf = ipc_buffer_new();
  ASSERT_NE(buf, nullptr);

  ASSERT_EQ(ipc_build_hello(*buf, 12345), 0);
  EXPECT_EQ(built(*buf), (Bytes{'V', 'R', 'K', 'S', 1, 0, 1, 0, 0, 0,    0,    0, 10,
                                0,   0,   0,   1,   0, 4, 0, 0, 0, 0x39, 0x30, 0, 0}));

  MailSettings m;
  fill(m.smtp_host, "h");
  m.smtp_port = 25;
  m.tls_mode = 1;
  fill(m.smtp_user, "u");
  fill(m.smtp_password, "p");
  fill(m.from, "a@b");
  fill(m.recipients[0], "c@d");
  m.recipient_count = 1;
  fill(m.ca_file, "/c");
  m.timeout_seconds = 30;
  ASSERT_EQ(ipc_build_mail_config(*buf, 2, m), 0);
  EXPECT_EQ(
      built(*buf),
      (Bytes{'V', 'R', 'K', 'S', 1,   0,   2,  0, 2, 0,   0,  0, 77,  0,   0,   0,  10,  0,  1, 0,
             0,   0,   'h', 11,  0,   4,   0,  0, 0, 25,  0,  0, 0,   12,  0,   4,  0,   0,  0, 1,
             0,   0,   0,   13,  0,   1,   0,  0, 0, 'u', 14, 0, 1,   0,   0,   0,  'p', 15, 0, 3,
             0,   0,   0,   'a', '@', 'b', 16, 0, 3, 0,   0,  0, 'c', '@', 'd', 17, 0,   2,  0, 0,
             0,   '/', 'c', 18,  0,   4,   0,  0, 0, 30,  0,  0, 0}));

  ASSERT_EQ(ipc_build_mail_send(*buf, 3, "s", "b\n"), 0);
  EXPECT_EQ(built(*buf), (Bytes{'V', 'R', 'K', 'S', 1, 0, 3,   0,  3, 0, 0, 0, 15, 0,   0,   0,
                                20,  0,   1,   0,   0, 0, 's', 21, 0, 2, 0, 0, 0,  'b', '\n'}));

  ASSERT_EQ(ipc_build_mail_result(*buf, 3, 1, "x"), 0);
  EXPECT_EQ(built(*buf), (Bytes{'V', 'R', 'K', 'S', 1, 0, 4, 0, 3, 0,  0, 0, 17, 0, 0, 0,  30,
                                0,   4,   0,   0,   0, 1, 0, 0, 0, 31, 0, 1, 0,  0, 0, 'x'}));

  ASSERT_EQ(ipc_build_api_config(*buf, 4, "C", "K", 16), 0);
  EXPECT_EQ(built(*buf),
            (Bytes{'V', 'R', 'K', 'S', 1, 0, 5, 0, 4, 0,   0,  0, 24, 0, 0, 0, 40, 0, 1, 0,
                   0,   0,   'C', 41,  0, 1, 0, 0, 0, 'K', 42, 0, 4,  0, 0, 0, 16, 0, 0, 0}));

  ApiRequest req;
  fill(req.method, "GET");
  fill(req.path, "/a");
  fill(req.query, "q");
  fill(req.client_address, "c");
  const uint8_t body[] = {'B'};
  req.body = body;
  req.body_length = 1;
  ASSERT_EQ(ipc_build_api_request(*buf, 9, req), 0);
  EXPECT_EQ(built(*buf),
            (Bytes{'V', 'R', 'K', 'S', 1,   0,   6,  0, 9,   0,  0, 0, 38,  0,   0,  0,  50, 0, 3,
                   0,   0,   0,   'G', 'E', 'T', 51, 0, 2,   0,  0, 0, '/', 'a', 52, 0,  1,  0, 0,
                   0,   'q', 55,  0,   1,   0,   0,  0, 'c', 56, 0, 1, 0,   0,   0,  'B'}));

  ApiResponse resp;
  resp.status = 200;
  fill(resp.signature, "s");
  resp.failed_login = 7;
  const uint8_t json[] = {'{', '}'};
  resp.body = json;
  resp.body_length = 2;
  ASSERT_EQ(ipc_build_api_response(*buf, 9, resp), 0);
  EXPECT_EQ(built(*buf),
            (Bytes{'V', 'R', 'K', 'S', 1, 0,   7, 0, 9, 0,  0, 0, 35, 0, 0, 0,   60,
                   0,   4,   0,   0,   0, 200, 0, 0, 0, 62, 0, 1, 0,  0, 0, 's', 64,
                   0,   4,   0,   0,   0, 1,   0, 0, 0, 63, 0, 2, 0,  0, 0, '{', '}'}));
}

TEST(IpcBuild, OptionalRecordsOnlyWhenSet) {
  IpcBuffer buf;
  ASSERT_EQ(ipc_build_mail_result(buf, 8, 0, "ignored"), 0);
  Bytes want = {'V', 'R', 'K', 'S', 1, 0, 4, 0, 8, 0, 0, 0, 10,
                0,   0,   0,   30,  0, 4, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(built(buf), want);

  ApiResponse resp;
  resp.status = 204;
  ASSERT_EQ(ipc_build_api_response(buf, 1, resp), 0);
  want = {'V', 'R', 'K', 'S', 1, 0, 7,   0, 1, 0, 0,  0, 16, 0, 0, 0,
          60,  0,   4,   0,   0, 0, 204, 0, 0, 0, 63, 0, 0,  0, 0, 0};
  EXPECT_EQ(built(buf), want);
}

// --- Header and framing -------------------------------------------------------------------

TEST(IpcParseHeader, RefusesCorruptions) {
  IpcBuffer hello;
  ASSERT_EQ(ipc_build_hello(hello, 1), 0);
  const Bytes good = built(hello);
  struct HeaderCase {
    const char* name;
    Bytes msg;
    int want_rc;
  };
  auto mutate = [&](size_t at, uint8_t v) {
    Bytes b = good;
    b[at] = v;
    return b;
  };
  Bytes shorter(good.begin(), good.end() - 1);
  Bytes longer = good;
  longer.push_back(0);
  Bytes empty_payload = wire(IpcType::kHello, {});
  Bytes max_size(kIpcMaxMessage, 0);
  std::copy(empty_payload.begin(), empty_payload.end(), max_size.begin());
  max_size[12] = 0xF0;
  max_size[13] = 0xFF;
  Bytes over_max = max_size;
  over_max.push_back(0);
  over_max[12] = 0xF1;
  const HeaderCase cases[] = {
      {"good", good, 0},
      {"payload length 0", empty_payload, 0},
      {"exactly 65536 bytes", max_size, 0},
      {"65537 bytes", over_max, -1},
      {"one byte short", shorter, -1},
      {"one byte long", longer, -1},
      {"15 bytes", Bytes(good.begin(), good.begin() + 15), -1},
      {"empty", Bytes{}, -1},
      {"bad magic", mutate(0, 'v'), -1},
      {"bad magic last byte", mutate(3, 'T'), -1},
      {"version 0", mutate(4, 0), -1},
      {"version 2", mutate(4, 2), -1},
      {"version high byte", mutate(5, 1), -1},
      {"payload length +1", mutate(12, 11), -1},
      {"payload length -1", mutate(12, 9), -1},
      {"payload length high byte", mutate(15, 1), -1},
      {"unknown type is a valid header", mutate(6, 99), 0},
  };
  for (const HeaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    IpcMessage msg;
    msg.id = 77;
    EXPECT_EQ(ipc_parse_header(c.msg.data(), c.msg.size(), msg), c.want_rc);
    if (c.want_rc != 0) {
      EXPECT_EQ(msg.payload, nullptr);
      EXPECT_EQ(msg.id, 0u);
    }
  }
}

TEST(IpcParseHello, FlippedPayloadBytes) {
  IpcBuffer hello;
  ASSERT_EQ(ipc_build_hello(hello, 1), 0);
  struct FlipCase {
    size_t at;
    uint8_t value;
    const char* want;
  };
  const FlipCase cases[] = {
      {16, 0x00, "HELLO: unexpected tag 0"}, {17, 0x01, "HELLO: unexpected tag 257"},
      {18, 0x05, "HELLO: malformed record"}, {18, 0x03, "HELLO: bad pid"},
      {21, 0x80, "HELLO: malformed record"}, {22, 0xFF, ""},
  };
  for (const FlipCase& c : cases) {
    SCOPED_TRACE(c.at);
    IpcBuffer b = hello;
    b.bytes[c.at] = c.value;
    IpcMessage msg;
    ASSERT_EQ(ipc_parse_header(b, msg), 0);
    uint32_t pid = 0;
    char err[128];
    EXPECT_EQ(ipc_parse_hello(msg, pid, err), c.want[0] == '\0' ? 0 : -1);
    EXPECT_STREQ(err, c.want);
  }
}

TEST(IpcParseHeader, FillsTheMessage) {
  Bytes b = wire(IpcType::kApiRequest, {{50, "GET"}});
  IpcMessage msg;
  ASSERT_EQ(ipc_parse_header(b.data(), b.size(), msg), 0);
  EXPECT_EQ(msg.type, IpcType::kApiRequest);
  EXPECT_EQ(msg.id, 5u);
  EXPECT_EQ(msg.payload, b.data() + 16);
  EXPECT_EQ(msg.payload_length, 9u);
}

TEST(IpcPutBytes, StopsAtTheMessageLimit) {
  IpcBuffer buf;
  ipc_begin(buf, IpcType::kMailSend, 1);
  std::vector<uint8_t> big(kIpcMaxMessage - 16 - 6 - 6);
  ASSERT_EQ(ipc_put_bytes(buf, 21, big.data(), big.size()), 0);
  // 6 bytes left: an empty record fits exactly, one more byte of value does not.
  const uint8_t one = 1;
  EXPECT_EQ(ipc_put_bytes(buf, 20, &one, 1), -1);
  EXPECT_EQ(buf.length, kIpcMaxMessage - 6);
  EXPECT_EQ(ipc_put_u32(buf, 20, 1), -1);
  EXPECT_EQ(ipc_put_text(buf, 20, ""), 0);
  EXPECT_EQ(buf.length, kIpcMaxMessage);
  EXPECT_EQ(ipc_put_text(buf, 20, ""), -1);
  IpcMessage msg;
  EXPECT_EQ(ipc_parse_header(buf, msg), 0);
  EXPECT_EQ(msg.payload_length, kIpcMaxMessage - 16);
}

TEST(IpcParse, ChecksTheTypeFirst) {
  Bytes b = wire(IpcType::kMailSend, {});
  IpcMessage msg;
  ASSERT_EQ(ipc_parse_header(b.data(), b.size(), msg), 0);
  char err[128];
  uint32_t pid = 9;
  EXPECT_EQ(ipc_parse_hello(msg, pid, err), -1);
  EXPECT_STREQ(err, "unexpected message type 3 (expected 1)");
  EXPECT_EQ(pid, 0u);
  MailSettings mail;
  EXPECT_EQ(ipc_parse_mail_config(msg, mail, err), -1);
  EXPECT_STREQ(err, "unexpected message type 3 (expected 2)");
  uint32_t status;
  char text[16];
  EXPECT_EQ(ipc_parse_mail_result(msg, status, text, err), -1);
  EXPECT_STREQ(err, "unexpected message type 3 (expected 4)");
  ApiTlsConfig tls;
  EXPECT_EQ(ipc_parse_api_config(msg, tls, err), -1);
  EXPECT_STREQ(err, "unexpected message type 3 (expected 5)");
  ApiRequest req;
  EXPECT_EQ(ipc_parse_api_request(msg, req, err), -1);
  EXPECT_STREQ(err, "unexpected message type 3 (expected 6)");
  ApiResponse resp;
  EXPECT_EQ(ipc_parse_api_response(msg, resp, err), -1);
  EXPECT_STREQ(err, "unexpected message type 3 (expected 7)");
  char small[8];
  b = wire(IpcType::kHello, {});
  ASSERT_EQ(ipc_parse_header(b.data(), b.size(), msg), 0);
  EXPECT_EQ(ipc_parse_mail_send(msg, small, small, err), -1);
  EXPECT_STREQ(err, "unexpected message type 1 (expected 3)");
  // The message is cut to the caller's buffer.
  EXPECT_EQ(ipc_parse_mail_send(msg, small, small, small), -1);
  EXPECT_STREQ(small, "unexpec");
}

// --- Parser tables ------------------------------------------------------------------------

TEST(IpcParseHello, Table) {
  const std::vector<Case> cases = {
      {"pid", wire(IpcType::kHello, {{1, u32v(4242)}}), ""},
      {"empty payload", wire(IpcType::kHello, {}), "HELLO: no pid"},
      {"short record head", wire(IpcType::kHello, {}, "\x01\x00\x04"), "HELLO: malformed record"},
      {"value past the end", wire(IpcType::kHello, {}, std::string("\x01\x00\x05\0\0\0abcd", 10)),
       "HELLO: malformed record"},
      {"trailing bytes", wire(IpcType::kHello, {{1, u32v(1)}}, "xy"), "HELLO: malformed record"},
      {"other first tag", wire(IpcType::kHello, {{2, u32v(1)}}), "HELLO: unexpected tag 2"},
      {"second record", wire(IpcType::kHello, {{1, u32v(1)}, {9, ""}}), "HELLO: unexpected tag 9"},
      {"pid twice", wire(IpcType::kHello, {{1, u32v(1)}, {1, u32v(1)}}), "HELLO: unexpected tag 1"},
      {"pid of 3 bytes", wire(IpcType::kHello, {{1, "abc"}}), "HELLO: bad pid"},
      {"pid of 5 bytes", wire(IpcType::kHello, {{1, "abcde"}}), "HELLO: bad pid"},
  };
  run_cases(cases, [](const IpcMessage& m, std::span<char> err) {
    uint32_t pid = 0;
    int rc = ipc_parse_hello(m, pid, err);
    EXPECT_EQ(pid, rc == 0 ? 4242u : 0u);
    return rc;
  });
}

const Recs kMail = {
    {10, "smtp.example.org"}, {11, u32v(587)},     {12, u32v(1)},  {15, "sched@example.org"},
    {16, "ops@example.org"},  {17, "/etc/ca.pem"}, {18, u32v(30)},
};

Recs recipients(int n) {
  Recs r;
  for (int i = 0; i < n; ++i) {
    r.push_back({16, "r" + std::to_string(i) + "@x.org"});
  }
  return r;
}

TEST(IpcParseMailConfig, Table) {
  auto mc = [](const Recs& r, std::string_view trailing = {}) {
    return wire(IpcType::kMailConfig, r, trailing);
  };
  const std::string a255 = std::string(251, 'a') + "@b.c";
  const std::vector<Case> cases = {
      {"valid", mc(kMail), ""},
      {"with user and password", mc(with(kMail, {{13, "u"}, {14, std::string(64, 'p')}})), ""},
      {"16 recipients", mc(with(kMail, recipients(15))), ""},
      {"limits",
       mc(replaced(replaced(with(kMail, {{13, std::string(255, 'u')}, {14, "p"}}), 10,
                            std::string(255, 'h')),
                   17, std::string(511, 'c'))),
       ""},
      {"255-byte addresses", mc(replaced(replaced(kMail, 15, a255), 16, a255)), ""},
      {"port 65535, tls 0 and 2", mc(replaced(replaced(kMail, 11, u32v(65535)), 12, u32v(2))), ""},
      {"empty payload", mc({}), "MAIL_CONFIG: incomplete"},
      {"truncated record", mc(kMail, "\x10\x00\x01"), "MAIL_CONFIG: malformed record"},
      {"value past the end", mc(kMail, std::string("\x0a\0\x09\0\0\0abc", 9)),
       "MAIL_CONFIG: malformed record"},
      {"tag 32", mc(with(kMail, {{32, ""}})), "MAIL_CONFIG: unexpected tag 32"},
      {"tag 9", mc(with(kMail, {{9, ""}})), "MAIL_CONFIG: unexpected tag 9"},
      {"tag 19", mc(with(kMail, {{19, ""}})), "MAIL_CONFIG: unexpected tag 19"},
      {"tag 31", mc(with(kMail, {{31, ""}})), "MAIL_CONFIG: unexpected tag 31"},
      {"tag 65535", mc(with(kMail, {{65535, ""}})), "MAIL_CONFIG: unexpected tag 65535"},
      {"duplicate host", mc(with(kMail, {{10, "h"}})), "MAIL_CONFIG: duplicate tag 10"},
      {"duplicate timeout", mc(with(kMail, {{18, u32v(1)}})), "MAIL_CONFIG: duplicate tag 18"},
      {"17 recipients", mc(with(kMail, recipients(16))), "MAIL_CONFIG: too many recipients"},
      {"17th recipient checked before its value", mc(with(kMail, with(recipients(15), {{16, ""}}))),
       "MAIL_CONFIG: too many recipients"},
      {"recipient not an address", mc(with(kMail, {{16, "nobody"}})), "MAIL_CONFIG: bad recipient"},
      {"recipient empty", mc(with(kMail, {{16, ""}})), "MAIL_CONFIG: bad recipient"},
      {"recipient 256 bytes", mc(with(kMail, {{16, "a" + a255}})), "MAIL_CONFIG: bad recipient"},
      {"recipient with NUL", mc(with(kMail, {{16, std::string("a@b\0c", 5)}})),
       "MAIL_CONFIG: bad recipient"},
      {"host 256 bytes", mc(replaced(kMail, 10, std::string(256, 'h'))), "MAIL_CONFIG: bad host"},
      {"host with NUL", mc(replaced(kMail, 10, std::string("h\0", 2))), "MAIL_CONFIG: bad host"},
      {"port 0", mc(replaced(kMail, 11, u32v(0))), "MAIL_CONFIG: bad port"},
      {"port 65536", mc(replaced(kMail, 11, u32v(65536))), "MAIL_CONFIG: bad port"},
      {"port of 2 bytes", mc(replaced(kMail, 11, "\x19\x00")), "MAIL_CONFIG: bad port"},
      {"tls mode 3", mc(replaced(kMail, 12, u32v(3))), "MAIL_CONFIG: bad tls mode"},
      {"user 256 bytes", mc(with(kMail, {{13, std::string(256, 'u')}})), "MAIL_CONFIG: bad user"},
      {"password 65 bytes", mc(with(kMail, {{14, std::string(65, 'p')}})),
       "MAIL_CONFIG: bad password"},
      {"password with NUL", mc(with(kMail, {{14, std::string("\0", 1)}})),
       "MAIL_CONFIG: bad password"},
      {"from not an address", mc(replaced(kMail, 15, "sched")), "MAIL_CONFIG: bad from"},
      {"from empty", mc(replaced(kMail, 15, "")), "MAIL_CONFIG: bad from"},
      {"ca file 512 bytes", mc(replaced(kMail, 17, std::string(512, 'c'))),
       "MAIL_CONFIG: bad ca-file"},
      {"timeout 0", mc(replaced(kMail, 18, u32v(0))), "MAIL_CONFIG: bad timeout"},
      {"timeout of 8 bytes", mc(replaced(kMail, 18, "12345678")), "MAIL_CONFIG: bad timeout"},
      {"empty host", mc(replaced(kMail, 10, "")), "MAIL_CONFIG: incomplete"},
      {"no host", mc(without(kMail, 10)), "MAIL_CONFIG: incomplete"},
      {"no port", mc(without(kMail, 11)), "MAIL_CONFIG: incomplete"},
      {"no tls mode", mc(without(kMail, 12)), "MAIL_CONFIG: incomplete"},
      {"no from", mc(without(kMail, 15)), "MAIL_CONFIG: incomplete"},
      {"no recipient", mc(without(kMail, 16)), "MAIL_CONFIG: incomplete"},
      {"no timeout", mc(without(kMail, 18)), "MAIL_CONFIG: incomplete"},
      {"user without password", mc(with(kMail, {{13, "u"}})),
       "MAIL_CONFIG: user and password go together"},
      {"password without user", mc(with(kMail, {{14, "p"}})),
       "MAIL_CONFIG: user and password go together"},
      {"empty user record and password", mc(with(kMail, {{13, ""}, {14, "p"}})),
       "MAIL_CONFIG: user and password go together"},
  };
  run_cases(cases, [](const IpcMessage& m, std::span<char> err) {
    MailSettings out;
    out.enabled = 1;
    fill(out.smtp_password, "old secret");
    int rc = ipc_parse_mail_config(m, out, err);
    EXPECT_EQ(out.enabled, rc == 0 ? 1u : 0u);
    if (rc != 0) {
      EXPECT_EQ(out.smtp_password[0], '\0');
      EXPECT_EQ(out.recipient_count, 0);
    }
    return rc;
  });
}

TEST(IpcParseMailSend, Table) {
  auto ms = [](const Recs& r, std::string_view trailing = {}) {
    return wire(IpcType::kMailSend, r, trailing);
  };
  const Recs ok = {{20, std::string(15, 's')}, {21, std::string(31, 'b')}};
  const std::vector<Case> cases = {
      {"subject and body at their limits", ms(ok), ""},
      {"body before subject, both empty", ms({{21, ""}, {20, ""}}), ""},
      {"body with line breaks", ms({{20, "s"}, {21, "a\r\nb"}}), ""},
      {"empty payload", ms({}), "MAIL_SEND: incomplete"},
      {"no body", ms({{20, "s"}}), "MAIL_SEND: incomplete"},
      {"no subject", ms({{21, "b"}}), "MAIL_SEND: incomplete"},
      {"malformed", ms(ok, "\x14"), "MAIL_SEND: malformed record"},
      {"subject twice", ms(with(ok, {{20, "s"}})), "MAIL_SEND: unexpected tag 20"},
      {"body twice", ms(with(ok, {{21, "b"}})), "MAIL_SEND: unexpected tag 21"},
      {"other tag", ms(with(ok, {{22, ""}})), "MAIL_SEND: unexpected tag 22"},
      {"subject too long", ms(replaced(ok, 20, std::string(16, 's'))), "MAIL_SEND: bad subject"},
      {"subject with NUL", ms(replaced(ok, 20, std::string("a\0\n", 3))), "MAIL_SEND: bad subject"},
      {"subject with LF", ms(replaced(ok, 20, "a\nb")), "MAIL_SEND: subject contains a line break"},
      {"subject with CR", ms(replaced(ok, 20, "a\r")), "MAIL_SEND: subject contains a line break"},
      {"body too long", ms(replaced(ok, 21, std::string(32, 'b'))), "MAIL_SEND: bad body"},
      {"body with NUL", ms(replaced(ok, 21, std::string("\0", 1))), "MAIL_SEND: bad body"},
  };
  run_cases(cases, [](const IpcMessage& m, std::span<char> err) {
    char subject[16];
    char body[32];
    int rc = ipc_parse_mail_send(m, subject, body, err);
    if (rc != 0) {
      EXPECT_STREQ(subject, "");
      EXPECT_STREQ(body, "");
    }
    return rc;
  });
}

TEST(IpcParseMailResult, Table) {
  auto mr = [](const Recs& r, std::string_view trailing = {}) {
    return wire(IpcType::kMailResult, r, trailing);
  };
  const std::vector<Case> cases = {
      {"sent", mr({{30, u32v(0)}}), ""},
      {"failed with text at its limit", mr({{31, std::string(15, 'e')}, {30, u32v(1)}}), ""},
      {"empty payload", mr({}), "MAIL_RESULT: no status"},
      {"text only", mr({{31, "e"}}), "MAIL_RESULT: no status"},
      {"malformed", mr({{30, u32v(0)}}, std::string_view("\0\0\0\0\0", 5)),
       "MAIL_RESULT: malformed record"},
      {"status twice", mr({{30, u32v(0)}, {30, u32v(0)}}), "MAIL_RESULT: unexpected tag 30"},
      {"text twice", mr({{30, u32v(1)}, {31, "a"}, {31, "b"}}), "MAIL_RESULT: unexpected tag 31"},
      {"other tag", mr({{32, ""}}), "MAIL_RESULT: unexpected tag 32"},
      {"status of 1 byte", mr({{30, "\x01"}}), "MAIL_RESULT: bad status"},
      {"text too long", mr({{30, u32v(1)}, {31, std::string(16, 'e')}}),
       "MAIL_RESULT: bad error text"},
      {"text with NUL", mr({{30, u32v(1)}, {31, std::string("a\0", 2)}}),
       "MAIL_RESULT: bad error text"},
      {"status 0 with text", mr({{30, u32v(0)}, {31, "e"}}),
       "MAIL_RESULT: error text must be present iff status != 0"},
      {"status 1 without text", mr({{30, u32v(1)}}),
       "MAIL_RESULT: error text must be present iff status != 0"},
  };
  run_cases(cases, [](const IpcMessage& m, std::span<char> err) {
    uint32_t status = 99;
    char text[16];
    int rc = ipc_parse_mail_result(m, status, text, err);
    if (rc != 0) {
      EXPECT_EQ(status, 0u);
      EXPECT_STREQ(text, "");
    }
    return rc;
  });
}

// A receiver's buffer of 0 bytes holds no text at all, and is never written.
TEST(IpcParse, ZeroSizeTextBuffers) {
  const struct {
    const char* name;
    Bytes msg;
    std::string want;
  } cases[] = {
      {"subject", wire(IpcType::kMailSend, {{20, ""}, {21, ""}}), "MAIL_SEND: bad subject"},
      {"sent", wire(IpcType::kMailResult, {{30, u32v(0)}}), ""},
      {"failed", wire(IpcType::kMailResult, {{30, u32v(1)}, {31, "e"}}),
       "MAIL_RESULT: bad error text"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    IpcMessage msg;
    ASSERT_EQ(ipc_parse_header(c.msg.data(), c.msg.size(), msg), 0);
    char err[128];
    uint32_t status = 9;
    int rc = msg.type == IpcType::kMailSend ? ipc_parse_mail_send(msg, {}, {}, err)
                                            : ipc_parse_mail_result(msg, status, {}, err);
    EXPECT_EQ(rc, c.want.empty() ? 0 : -1);
    EXPECT_EQ(std::string(err), c.want);
  }
}

TEST(IpcParseMailResult, LineBreaksBecomeSpaces) {
  IpcBuffer buf;
  ASSERT_EQ(ipc_build_mail_result(buf, 6, 3, "550 no\r\nsuch user\n"), 0);
  IpcMessage msg;
  ASSERT_EQ(ipc_parse_header(buf, msg), 0);
  uint32_t status = 0;
  char text[kIpcMailErrorSize];
  char err[128];
  ASSERT_EQ(ipc_parse_mail_result(msg, status, text, err), 0);
  EXPECT_EQ(msg.id, 6u);
  EXPECT_EQ(status, 3u);
  EXPECT_STREQ(text, "550 no  such user ");
}

TEST(IpcBuildMailResult, CutsAndDefaultsTheText) {
  struct TextCase {
    std::string in;
    std::string want;
  };
  const TextCase cases[] = {
      {"", "unknown error"},
      {std::string("\0tail", 5), "unknown error"},
      {std::string("head\0tail", 9), "head"},
      {std::string(511, 'e'), std::string(511, 'e')},
      {std::string(600, 'e'), std::string(511, 'e')},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.want);
    IpcBuffer buf;
    ASSERT_EQ(ipc_build_mail_result(buf, 1, 1, c.in), 0);
    IpcMessage msg;
    ASSERT_EQ(ipc_parse_header(buf, msg), 0);
    uint32_t status = 0;
    char text[kIpcMailErrorSize];
    char err[128];
    ASSERT_EQ(ipc_parse_mail_result(msg, status, text, err), 0) << err;
    EXPECT_EQ(std::string(text), c.want);
  }
}

const Recs kTls = {{40, "CERT"}, {41, "KEY"}, {42, u32v(16)}};

TEST(IpcParseApiConfig, Table) {
  auto ac = [](const Recs& r, std::string_view trailing = {}) {
    return wire(IpcType::kApiConfig, r, trailing);
  };
  const std::string pem_max(kIpcPemMax, 'P');
  const std::vector<Case> cases = {
      {"valid", ac(kTls), ""},
      {"limits", ac({{42, u32v(256)}, {41, pem_max}, {40, pem_max}}), ""},
      {"max-clients 1", ac(replaced(kTls, 42, u32v(1))), ""},
      {"empty payload", ac({}), "API_CONFIG: malformed or incomplete"},
      {"malformed", ac(kTls, "\x28\x00"), "API_CONFIG: malformed or incomplete"},
      {"no key", ac(without(kTls, 41)), "API_CONFIG: malformed or incomplete"},
      {"no certificate", ac(without(kTls, 40)), "API_CONFIG: malformed or incomplete"},
      {"no max-clients", ac(without(kTls, 42)), "API_CONFIG: malformed or incomplete"},
      {"key twice", ac(with(kTls, {{41, "K"}})), "API_CONFIG: unexpected tag 41"},
      {"other tag", ac(with(kTls, {{43, ""}})), "API_CONFIG: unexpected tag 43"},
      {"empty certificate", ac(replaced(kTls, 40, "")), "API_CONFIG: bad certificate"},
      {"certificate too long", ac(replaced(kTls, 40, pem_max + "P")),
       "API_CONFIG: bad certificate"},
      {"certificate with NUL", ac(replaced(kTls, 40, std::string("C\0", 2))),
       "API_CONFIG: bad certificate"},
      {"empty key", ac(replaced(kTls, 41, "")), "API_CONFIG: bad key"},
      {"key too long", ac(replaced(kTls, 41, pem_max + "K")), "API_CONFIG: bad key"},
      {"max-clients 0", ac(replaced(kTls, 42, u32v(0))), "API_CONFIG: bad max-clients"},
      {"max-clients 257", ac(replaced(kTls, 42, u32v(257))), "API_CONFIG: bad max-clients"},
      {"max-clients of 2 bytes", ac(replaced(kTls, 42, "\x10\x00")), "API_CONFIG: bad max-clients"},
  };
  run_cases(cases, [](const IpcMessage& m, std::span<char> err) {
    ApiTlsConfig cfg;
    int rc = ipc_parse_api_config(m, cfg, err);
    if (rc != 0) {
      EXPECT_TRUE(cfg.cert_pem.empty());
      EXPECT_TRUE(cfg.key_pem.empty());
    }
    ipc_api_config_release(cfg);
    return rc;
  });
}

TEST(IpcParseApiConfig, OwnsItsCopiesAndReleasesTwice) {
  Bytes b = wire(IpcType::kApiConfig, kTls);
  IpcMessage msg;
  ASSERT_EQ(ipc_parse_header(b.data(), b.size(), msg), 0);
  char err[128];
  ApiTlsConfig cfg;
  ASSERT_EQ(ipc_parse_api_config(msg, cfg, err), 0);
  // A second parse into the same record releases the first copies.
  ASSERT_EQ(ipc_parse_api_config(msg, cfg, err), 0);
  std::fill(b.begin(), b.end(), 0);
  EXPECT_STREQ(cfg.cert_pem.c_str(), "CERT");
  EXPECT_EQ(cfg.cert_pem.size(), 4u);
  EXPECT_TRUE(strcmp(cfg.key_pem.c_str(), "KEY") == 0);
  EXPECT_EQ(cfg.key_pem.size(), 3u);
  EXPECT_EQ(cfg.max_clients, 16u);
  ipc_api_config_release(cfg);
  EXPECT_TRUE(cfg.cert_pem.empty());
  EXPECT_TRUE(cfg.key_pem.empty());
  EXPECT_EQ(cfg.max_clients, 0u);
  ipc_api_config_release(cfg);
}

const Recs kRequest = {{50, "PUT"}, {51, "/api/v1/jobs/a"}, {55, "192.0.2.1"}, {56, "{}"}};

TEST(IpcParseApiRequest, Table) {
  auto ar = [](const Recs& r, std::string_view trailing = {}) {
    return wire(IpcType::kApiRequest, r, trailing);
  };
  const std::vector<Case> cases = {
      {"valid", ar(kRequest), ""},
      {"limits",
       ar(with(replaced(replaced(kRequest, 51, "/" + std::string(2047, 'p')), 56,
                        std::string(kIpcRequestBodyMax, '\0')),
               {{52, std::string(1024, 'q')},
                {53, std::string(512, 'a')},
                {54, std::string(128, 'i')}})),
       ""},
      {"empty optional texts and body", ar(with(kRequest, {{52, ""}, {53, ""}, {54, ""}})), ""},
      {"client address of 63", ar(replaced(kRequest, 55, std::string(63, 'c'))), ""},
      {"space and tilde are printable", ar(with(kRequest, {{52, " ~"}})), ""},
      {"empty payload", ar({}), "API_REQUEST: incomplete"},
      {"no method", ar(without(kRequest, 50)), "API_REQUEST: incomplete"},
      {"no path", ar(without(kRequest, 51)), "API_REQUEST: incomplete"},
      {"no client address", ar(without(kRequest, 55)), "API_REQUEST: incomplete"},
      {"malformed", ar(kRequest, "\x34\x00\x01\x00\x00"), "API_REQUEST: malformed record"},
      {"duplicate query", ar(with(kRequest, {{52, "a"}, {52, "b"}})),
       "API_REQUEST: unexpected or duplicate tag 52"},
      {"tag 60", ar(with(kRequest, {{60, u32v(200)}})),
       "API_REQUEST: unexpected or duplicate tag 60"},
      {"tag 49", ar(with(kRequest, {{49, ""}})), "API_REQUEST: unexpected or duplicate tag 49"},
      {"tag 64", ar(with(kRequest, {{64, ""}})), "API_REQUEST: unexpected or duplicate tag 64"},
      {"tag 57", ar(with(kRequest, {{57, ""}})), "API_REQUEST: unexpected tag 57"},
      {"tag 59", ar(with(kRequest, {{59, ""}})), "API_REQUEST: unexpected tag 59"},
      {"tag 63", ar(with(kRequest, {{63, ""}})), "API_REQUEST: unexpected or duplicate tag 63"},
      {"empty method", ar(replaced(kRequest, 50, "")), "API_REQUEST: bad method"},
      {"method of 9", ar(replaced(kRequest, 50, "PROPPATCH")), "API_REQUEST: bad method"},
      {"method with tab", ar(replaced(kRequest, 50, "GE\tT")), "API_REQUEST: bad method"},
      {"path without slash", ar(replaced(kRequest, 51, "x")), "API_REQUEST: bad path"},
      {"empty path", ar(replaced(kRequest, 51, "")), "API_REQUEST: bad path"},
      {"path of 2049", ar(replaced(kRequest, 51, "/" + std::string(2048, 'p'))),
       "API_REQUEST: bad path"},
      {"path with byte 0x80", ar(replaced(kRequest, 51, "/\x80")), "API_REQUEST: bad path"},
      {"query with 0x7F", ar(with(kRequest, {{52, "a\x7f"}})), "API_REQUEST: bad query"},
      {"query with LF", ar(with(kRequest, {{52, "a\n"}})), "API_REQUEST: bad query"},
      {"query of 1025", ar(with(kRequest, {{52, std::string(1025, 'q')}})),
       "API_REQUEST: bad query"},
      {"authorization of 513", ar(with(kRequest, {{53, std::string(513, 'a')}})),
       "API_REQUEST: bad authorization"},
      {"authorization with NUL", ar(with(kRequest, {{53, std::string("a\0", 2)}})),
       "API_REQUEST: bad authorization"},
      {"if-match of 129", ar(with(kRequest, {{54, std::string(129, 'i')}})),
       "API_REQUEST: bad if-match"},
      {"empty client address", ar(replaced(kRequest, 55, "")), "API_REQUEST: bad client address"},
      {"client address of 64", ar(replaced(kRequest, 55, std::string(64, 'c'))),
       "API_REQUEST: bad client address"},
      {"body of 32769", ar(replaced(kRequest, 56, std::string(kIpcRequestBodyMax + 1, 'b'))),
       "API_REQUEST: body too large"},
      {"printable other method", ar(replaced(kRequest, 50, "PATCH")),
       "API_REQUEST: method not allowed"},
      {"lower-case method", ar(replaced(kRequest, 50, "get")), "API_REQUEST: method not allowed"},
      {"field error before incomplete", ar({{52, "\x01"}}), "API_REQUEST: bad query"},
  };
  run_cases(cases, [](const IpcMessage& m, std::span<char> err) {
    ApiRequest req;
    fill(req.authorization, "stale");
    int rc = ipc_parse_api_request(m, req, err);
    if (rc != 0) {
      EXPECT_EQ(req.authorization[0], '\0');
      EXPECT_EQ(req.body, nullptr);
    }
    return rc;
  });
}

const Recs kResponse = {{60, u32v(200)}, {63, "{}"}};

TEST(IpcParseApiResponse, Table) {
  auto ap = [](const Recs& r, std::string_view trailing = {}) {
    return wire(IpcType::kApiResponse, r, trailing);
  };
  const std::vector<Case> cases = {
      {"valid", ap(kResponse), ""},
      {"empty body", ap(replaced(kResponse, 63, "")), ""},
      {"status 100", ap(replaced(kResponse, 60, u32v(100))), ""},
      {"status 599", ap(replaced(kResponse, 60, u32v(599))), ""},
      {"limits",
       ap(with(replaced(kResponse, 63, std::string(kIpcResponseBodyMax, 'b')),
               {{61, std::string(79, 'e')}, {62, std::string(64, 's')}, {64, u32v(5)}})),
       ""},
      {"empty payload", ap({}), "API_RESPONSE: incomplete"},
      {"no body", ap(without(kResponse, 63)), "API_RESPONSE: incomplete"},
      {"no status", ap(without(kResponse, 60)), "API_RESPONSE: incomplete"},
      {"malformed", ap(kResponse, "\x3d\x00\xff\xff\xff\xff"), "API_RESPONSE: malformed record"},
      {"duplicate body", ap(with(kResponse, {{63, ""}})),
       "API_RESPONSE: unexpected or duplicate tag 63"},
      {"tag 59", ap(with(kResponse, {{59, ""}})), "API_RESPONSE: unexpected or duplicate tag 59"},
      {"tag 70", ap(with(kResponse, {{70, ""}})), "API_RESPONSE: unexpected or duplicate tag 70"},
      {"tag 50", ap(with(kResponse, {{50, "GET"}})),
       "API_RESPONSE: unexpected or duplicate tag 50"},
      {"tag 65", ap(with(kResponse, {{65, ""}})), "API_RESPONSE: unexpected tag 65"},
      {"tag 69", ap(with(kResponse, {{69, ""}})), "API_RESPONSE: unexpected tag 69"},
      {"status 99", ap(replaced(kResponse, 60, u32v(99))), "API_RESPONSE: bad status"},
      {"status 600", ap(replaced(kResponse, 60, u32v(600))), "API_RESPONSE: bad status"},
      {"status of 2 bytes", ap(replaced(kResponse, 60, "\xc8\x00")), "API_RESPONSE: bad status"},
      {"etag of 80", ap(with(kResponse, {{61, std::string(80, 'e')}})), "API_RESPONSE: bad etag"},
      {"etag with CR", ap(with(kResponse, {{61, "\"a\"\r"}})), "API_RESPONSE: bad etag"},
      {"signature of 65", ap(with(kResponse, {{62, std::string(65, 's')}})),
       "API_RESPONSE: bad signature"},
      {"signature with LF", ap(with(kResponse, {{62, "ab\n"}})), "API_RESPONSE: bad signature"},
      {"flag of 1 byte", ap(with(kResponse, {{64, "\x01"}})), "API_RESPONSE: bad flag"},
      {"body of 61441", ap(replaced(kResponse, 63, std::string(kIpcResponseBodyMax + 1, 'b'))),
       "API_RESPONSE: body too large"},
  };
  run_cases(cases, [](const IpcMessage& m, std::span<char> err) {
    ApiResponse resp;
    int rc = ipc_parse_api_response(m, resp, err);
    if (rc == 0) {
      EXPECT_LE(resp.failed_login, 1u);
    } else {
      EXPECT_EQ(resp.status, 0u);
      EXPECT_EQ(resp.body, nullptr);
    }
    return rc;
  });
}

// --- Round trips --------------------------------------------------------------------------

TEST(IpcRoundTrip, MailConfigWithSixteenRecipients) {
  MailSettings m;
  fill(m.smtp_host, "mail.example.org");
  m.smtp_port = 465;
  m.tls_mode = kMailTlsSmtps;
  fill(m.smtp_user, "sched");
  fill(m.smtp_password, "s3cret");
  fill(m.from, "sched@example.org");
  for (int i = 0; i < kMailMaxRecipients; ++i) {
    snprintf(m.recipients[i], sizeof(m.recipients[i]), "ops%d@example.org", i);
  }
  m.recipient_count = kMailMaxRecipients;
  m.timeout_seconds = 45;
  auto buf = ipc_buffer_new();
  ASSERT_EQ(ipc_build_mail_config(*buf, 11, m), 0);
  IpcMessage msg;
  ASSERT_EQ(ipc_parse_header(*buf, msg), 0);
  MailSettings out;
  char err[128];
  ASSERT_EQ(ipc_parse_mail_config(msg, out, err), 0) << err;
  EXPECT_EQ(out.enabled, 1u);
  EXPECT_STREQ(out.smtp_host, "mail.example.org");
  EXPECT_EQ(out.smtp_port, 465u);
  EXPECT_EQ(out.tls_mode, kMailTlsSmtps);
  EXPECT_STREQ(out.smtp_user, "sched");
  EXPECT_TRUE(strcmp(out.smtp_password, "s3cret") == 0);
  EXPECT_STREQ(out.from, "sched@example.org");
  ASSERT_EQ(out.recipient_count, kMailMaxRecipients);
  EXPECT_STREQ(out.recipients[15], "ops15@example.org");
  EXPECT_STREQ(out.ca_file, "");
  EXPECT_EQ(out.timeout_seconds, 45u);
  EXPECT_EQ(msg.id, 11u);
  ipc_buffer_wipe(*buf);
  EXPECT_EQ(buf->length, 0u);
  EXPECT_EQ(std::count(buf->bytes, buf->bytes + kIpcMaxMessage, 0), kIpcMaxMessage);
}

TEST(IpcRoundTrip, ApiRequestAtItsLimits) {
  ApiRequest req;
  fill(req.method, "DELETE");
  std::string path = "/" + std::string(kIpcPathSize - 2, 'p');
  fill(req.path, path.c_str());
  memset(req.query, 'q', kIpcQuerySize - 1);
  memset(req.authorization, 'a', kIpcAuthorizationSize - 1);
  memset(req.if_match, 'i', kIpcIfMatchSize - 1);
  memset(req.client_address, 'c', kIpcClientAddressSize - 1);
  std::vector<uint8_t> body(kIpcRequestBodyMax, 0xAB);
  req.body = body.data();
  req.body_length = kIpcRequestBodyMax;
  IpcBuffer buf;
  ASSERT_EQ(ipc_build_api_request(buf, 77, req), 0);
  EXPECT_LT(buf.length, 37000u);
  IpcMessage msg;
  ASSERT_EQ(ipc_parse_header(buf, msg), 0);
  ApiRequest out;
  char err[128];
  ASSERT_EQ(ipc_parse_api_request(msg, out, err), 0) << err;
  EXPECT_EQ(memcmp(&req, &out, offsetof(ApiRequest, body)), 0);
  // The body is borrowed from the buffer, not copied.
  EXPECT_GE(out.body, buf.bytes);
  EXPECT_LT(out.body, buf.bytes + buf.length);
  EXPECT_EQ(Bytes(out.body, out.body + out.body_length), body);
}

TEST(IpcRoundTrip, ApiResponseAtItsLimits) {
  ApiResponse resp;
  resp.status = 599;
  memset(resp.etag, 'e', kIpcEtagSize - 1);
  memset(resp.signature, 's', kIpcSignatureSize - 1);
  resp.failed_login = 1;
  std::vector<uint8_t> body(kIpcResponseBodyMax, 'b');
  resp.body = body.data();
  resp.body_length = kIpcResponseBodyMax;
  IpcBuffer buf;
  ASSERT_EQ(ipc_build_api_response(buf, 3, resp), 0);
  IpcMessage msg;
  ASSERT_EQ(ipc_parse_header(buf, msg), 0);
  ApiResponse out;
  char err[128];
  ASSERT_EQ(ipc_parse_api_response(msg, out, err), 0) << err;
  EXPECT_EQ(out.status, 599u);
  EXPECT_STREQ(out.etag, resp.etag);
  EXPECT_STREQ(out.signature, resp.signature);
  EXPECT_EQ(out.failed_login, 1u);
  EXPECT_EQ(Bytes(out.body, out.body + out.body_length), body);
}

TEST(IpcRoundTrip, MailSendAndApiConfig) {
  IpcBuffer buf;
  std::string body(kIpcMailBodySize - 1 - 1024, 'x');
  ASSERT_EQ(ipc_build_mail_send(buf, 4294967295u, "Job a: FAILED", body), 0);
  IpcMessage msg;
  ASSERT_EQ(ipc_parse_header(buf, msg), 0);
  std::vector<char> subject(kIpcMailSubjectSize);
  std::vector<char> out(kIpcMailBodySize);
  char err[128];
  ASSERT_EQ(ipc_parse_mail_send(msg, subject, out, err), 0) << err;
  EXPECT_EQ(msg.id, 4294967295u);
  EXPECT_STREQ(subject.data(), "Job a: FAILED");
  EXPECT_EQ(std::string(out.data()), body);

  ASSERT_EQ(ipc_build_api_config(buf, 8, std::string(kIpcPemMax, 'C'), "KEY", 256), 0);
  ASSERT_EQ(ipc_parse_header(buf, msg), 0);
  ApiTlsConfig cfg;
  ASSERT_EQ(ipc_parse_api_config(msg, cfg, err), 0) << err;
  EXPECT_EQ(cfg.cert_pem.view(), std::string(kIpcPemMax, 'C'));
  EXPECT_EQ(cfg.max_clients, 256u);
  ipc_api_config_release(cfg);
}

// --- Builder refusals ---------------------------------------------------------------------

// A refused build leaves a wiped, empty buffer that ipc_send will not send.
void expect_refused(int rc, const IpcBuffer& buf) {
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(buf.length, 0u);
  EXPECT_EQ(buf.bytes[0], 0);
}

TEST(IpcBuildMailConfig, RefusesWhatTheParserWouldRefuse) {
  struct MailCase {
    const char* name;
    void (*edit)(MailSettings&);
  };
  const MailCase cases[] = {
      {"empty host", [](MailSettings& m) { m.smtp_host[0] = '\0'; }},
      {"unterminated host", [](MailSettings& m) { memset(m.smtp_host, 'h', kMailHostSize); }},
      {"port 0", [](MailSettings& m) { m.smtp_port = 0; }},
      {"port 65536", [](MailSettings& m) { m.smtp_port = 65536; }},
      {"tls mode 3", [](MailSettings& m) { m.tls_mode = 3; }},
      {"user without password", [](MailSettings& m) { fill(m.smtp_user, "u"); }},
      {"password without user", [](MailSettings& m) { fill(m.smtp_password, "p"); }},
      {"bad from", [](MailSettings& m) { fill(m.from, "sched"); }},
      {"bad recipient", [](MailSettings& m) { fill(m.recipients[0], "a b@c"); }},
      {"no recipient", [](MailSettings& m) { m.recipient_count = 0; }},
      {"17 recipients", [](MailSettings& m) { m.recipient_count = 17; }},
      {"timeout 0", [](MailSettings& m) { m.timeout_seconds = 0; }},
  };
  for (const MailCase& c : cases) {
    SCOPED_TRACE(c.name);
    MailSettings m;
    fill(m.smtp_host, "h");
    m.smtp_port = 25;
    fill(m.from, "a@b");
    fill(m.recipients[0], "c@d");
    m.recipient_count = 1;
    IpcBuffer buf;
    ASSERT_EQ(ipc_build_mail_config(buf, 1, m), 0);
    c.edit(m);
    expect_refused(ipc_build_mail_config(buf, 1, m), buf);
  }
}

TEST(IpcBuildApiRequest, RefusesWhatTheParserWouldRefuse) {
  static const std::vector<uint8_t> big(kIpcRequestBodyMax + 1);
  struct RequestCase {
    const char* name;
    void (*edit)(ApiRequest&);
  };
  // A client's header may hold a tab or bytes of 0x80 and above; sending it would get the
  // network process killed by the scheduler's parser.
  const RequestCase cases[] = {
      {"method PATCH", [](ApiRequest& r) { fill(r.method, "PATCH"); }},
      {"empty method", [](ApiRequest& r) { r.method[0] = '\0'; }},
      {"path without slash", [](ApiRequest& r) { fill(r.path, "a"); }},
      {"tab in authorization", [](ApiRequest& r) { fill(r.authorization, "Bearer\tx"); }},
      {"0x80 in if-match", [](ApiRequest& r) { fill(r.if_match, "\"\x80\""); }},
      {"LF in query", [](ApiRequest& r) { fill(r.query, "a\n"); }},
      {"empty client address", [](ApiRequest& r) { r.client_address[0] = '\0'; }},
      {"body of 32769", [](ApiRequest& r) { r.body = big.data(), r.body_length = big.size(); }},
      {"body length without bytes", [](ApiRequest& r) { r.body = nullptr, r.body_length = 1; }},
  };
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(c.name);
    ApiRequest r;
    fill(r.method, "GET");
    fill(r.path, "/");
    fill(r.client_address, "c");
    IpcBuffer buf;
    ASSERT_EQ(ipc_build_api_request(buf, 1, r), 0);
    c.edit(r);
    expect_refused(ipc_build_api_request(buf, 1, r), buf);
  }
}

TEST(IpcBuildApiResponse, RefusesWhatTheParserWouldRefuse) {
  static const std::vector<uint8_t> big(kIpcResponseBodyMax + 1);
  struct ResponseCase {
    const char* name;
    void (*edit)(ApiResponse&);
  };
  const ResponseCase cases[] = {
      {"status 99", [](ApiResponse& r) { r.status = 99; }},
      {"status 600", [](ApiResponse& r) { r.status = 600; }},
      {"0x80 in etag", [](ApiResponse& r) { fill(r.etag, "\x80"); }},
      {"CR in signature", [](ApiResponse& r) { fill(r.signature, "a\r"); }},
      {"body of 61441", [](ApiResponse& r) { r.body = big.data(), r.body_length = big.size(); }},
  };
  for (const ResponseCase& c : cases) {
    SCOPED_TRACE(c.name);
    ApiResponse r;
    r.status = 200;
    IpcBuffer buf;
    ASSERT_EQ(ipc_build_api_response(buf, 1, r), 0);
    c.edit(r);
    expect_refused(ipc_build_api_response(buf, 1, r), buf);
  }
}

TEST(IpcBuild, RefusesBadSendAndConfigValues) {
  const std::string big_pem(kIpcPemMax + 1, 'P');
  IpcBuffer buf;
  expect_refused(ipc_build_mail_send(buf, 1, "a\nb", ""), buf);
  expect_refused(ipc_build_mail_send(buf, 1, "a\rb", ""), buf);
  expect_refused(ipc_build_mail_send(buf, 1, std::string(kIpcMailSubjectSize, 's'), ""), buf);
  expect_refused(ipc_build_mail_send(buf, 1, "s", std::string_view("\0", 1)), buf);
  // Each text within its own limit, but together too large for one message.
  expect_refused(ipc_build_mail_send(buf, 1, std::string(1000, 's'), std::string(65000, 'b')), buf);
  expect_refused(ipc_build_api_config(buf, 1, "C", "", 1), buf);
  expect_refused(ipc_build_api_config(buf, 1, big_pem, "K", 1), buf);
  expect_refused(ipc_build_api_config(buf, 1, "C", "K", 0), buf);
  expect_refused(ipc_build_api_config(buf, 1, "C", "K", 257), buf);
}

// --- Transport ----------------------------------------------------------------------------

class IpcSocket : public ::testing::Test {
 protected:
  void SetUp() override {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
    a_.reset(sv[0]);
    b_.reset(sv[1]);
  }
  UniqueFd a_;
  UniqueFd b_;
};

TEST_F(IpcSocket, SendsAndReceivesOneMessage) {
  IpcBuffer out;
  ASSERT_EQ(ipc_build_hello(out, 4321), 0);
  ASSERT_EQ(ipc_send(a_.get(), out, false), 0);
  auto in = ipc_buffer_new();
  ASSERT_EQ(ipc_recv(b_.get(), *in, true), kIpcRecvMessage);
  EXPECT_EQ(built(*in), built(out));
  EXPECT_EQ(ipc_recv(b_.get(), *in, true), kIpcRecvNothing);
  EXPECT_EQ(in->length, 0u);
}

TEST_F(IpcSocket, OversizedDatagramIsReportedAndLost) {
  std::vector<uint8_t> big(kIpcMaxMessage + 1, 'x');
  ASSERT_EQ(send(a_.get(), big.data(), big.size(), 0), static_cast<ssize_t>(big.size()));
  ASSERT_EQ(send(a_.get(), big.data(), kIpcMaxMessage, 0), static_cast<ssize_t>(kIpcMaxMessage));
  auto in = ipc_buffer_new();
  EXPECT_EQ(ipc_recv(b_.get(), *in, true), kIpcRecvOversized);
  EXPECT_EQ(in->length, 0u);
  EXPECT_EQ(ipc_recv(b_.get(), *in, true), kIpcRecvMessage);
  EXPECT_EQ(in->length, kIpcMaxMessage);
}

// A wipe leaves no byte of any earlier message behind, however the buffer was filled: a large
// message followed by a smaller one, a received one, an oversized one, and a send that reset
// nothing.
TEST_F(IpcSocket, WipeClearsEveryByteEverWritten) {
  auto all_zero = [](const IpcBuffer& b) {
    return std::count(b.bytes, b.bytes + kIpcMaxMessage, 0) == kIpcMaxMessage && b.length == 0;
  };
  const std::string big_body(kIpcResponseBodyMax, 'B');
  ApiResponse big;
  big.status = 200;
  big.body = reinterpret_cast<const uint8_t*>(big_body.data());
  big.body_length = static_cast<uint32_t>(big_body.size());
  auto buf = ipc_buffer_new();

  ASSERT_EQ(ipc_build_api_response(*buf, 1, big), 0);
  ASSERT_EQ(ipc_build_hello(*buf, 2), 0);
  ipc_buffer_wipe(*buf);
  EXPECT_TRUE(all_zero(*buf));

  ASSERT_EQ(ipc_build_api_response(*buf, 3, big), 0);
  ASSERT_EQ(ipc_send(a_.get(), *buf, false), 0);
  ipc_buffer_wipe(*buf);
  EXPECT_TRUE(all_zero(*buf));
  ASSERT_EQ(ipc_recv(b_.get(), *buf, true), kIpcRecvMessage);
  EXPECT_EQ(ipc_recv(b_.get(), *buf, true), kIpcRecvNothing);  // length 0, bytes still there
  ipc_buffer_wipe(*buf);
  EXPECT_TRUE(all_zero(*buf));

  std::vector<uint8_t> oversized(kIpcMaxMessage + 1, 'x');
  ASSERT_EQ(send(a_.get(), oversized.data(), oversized.size(), 0),
            static_cast<ssize_t>(oversized.size()));
  ASSERT_EQ(ipc_build_hello(*buf, 4), 0);
  EXPECT_EQ(ipc_recv(b_.get(), *buf, true), kIpcRecvOversized);
  EXPECT_TRUE(all_zero(*buf));
}

TEST_F(IpcSocket, ClosedPeer) {
  b_.reset();
  IpcBuffer buf;
  ASSERT_EQ(ipc_build_hello(buf, 1), 0);
  // Without MSG_NOSIGNAL this would end the test program with SIGPIPE.
  errno = 0;
  EXPECT_EQ(ipc_send(a_.get(), buf, false), -1);
  EXPECT_EQ(errno, EPIPE);
  EXPECT_EQ(ipc_recv(a_.get(), buf, false), kIpcRecvClosed);
}

TEST_F(IpcSocket, EmptyPeerEndIsClosed) {
  a_.reset();
  IpcBuffer buf;
  EXPECT_EQ(ipc_recv(b_.get(), buf, true), kIpcRecvClosed);
  EXPECT_EQ(ipc_recv(-1, buf, true), kIpcRecvClosed);
}

TEST_F(IpcSocket, RefusesToSendANonMessage) {
  IpcBuffer buf;
  errno = 0;
  EXPECT_EQ(ipc_send(a_.get(), buf, true), -1);
  EXPECT_EQ(errno, EINVAL);
  IpcBuffer failed;
  EXPECT_EQ(ipc_build_api_config(failed, 1, "", "", 0), -1);
  EXPECT_EQ(ipc_send(a_.get(), failed, true), -1);
  EXPECT_EQ(ipc_recv(b_.get(), buf, true), kIpcRecvNothing);
}

TEST_F(IpcSocket, FullPeerGivesEagainWhenNonblocking) {
  IpcBuffer buf;
  ASSERT_EQ(ipc_build_mail_send(buf, 1, "s", std::string(60000, 'b')), 0);
  int rc = 0;
  for (int i = 0; i < 1000 && rc == 0; ++i) {
    rc = ipc_send(a_.get(), buf, true);
  }
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(errno, EAGAIN);
}

}  // namespace
}  // namespace vrk
