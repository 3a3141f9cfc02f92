#include "sched/api/json_writer.h"

#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace vrk {
namespace {

std::string written(const JsonWriter& w) {
  return std::string(w.buffer, w.length);
}

TEST(JsonWriter, SeparatorsWithoutWhitespace) {
  char buf[256];
  JsonWriter w;
  json_writer_init(w, buf, sizeof(buf));
  json_begin_object(w);
  json_key(w, "a");
  json_begin_array(w);
  json_int(w, 1);
  json_bool(w, 7);
  json_null(w);
  json_end_array(w);
  json_key(w, "b");
  json_begin_object(w);
  json_end_object(w);
  json_key(w, "c");
  json_begin_array(w);
  json_end_array(w);
  json_key(w, "d");
  json_begin_array(w);
  json_string_or_null(w, "");
  json_string_or_null(w, "x/y");
  json_int(w, INT64_MIN);
  json_bool(w, 0);
  json_begin_object(w);
  json_key(w, "e");
  json_int(w, -5);
  json_key(w, "f");
  json_begin_array(w);
  json_end_array(w);
  json_end_object(w);
  json_end_array(w);
  json_end_object(w);
  EXPECT_EQ(written(w),
            "{\"a\":[1,true,null],\"b\":{},\"c\":[],\"d\":[null,\"x/y\",-9223372036854775808,false,"
            "{\"e\":-5,\"f\":[]}]}");
  EXPECT_EQ(w.overflow, 0u);
  EXPECT_EQ(w.depth, 0);
  EXPECT_EQ(buf[w.length], '\0');
  json_end_object(w);  // depth stays at 0
  EXPECT_EQ(w.depth, 0);
}

TEST(JsonPut, KeyAndValue) {
  char buf[128];
  JsonWriter w;
  json_writer_init(w, buf, sizeof(buf));
  json_begin_object(w);
  json_put_text(w, "t", "a\"b");
  json_put_int(w, "i", -3);
  json_put_bool(w, "y", true);
  json_put_bool(w, "n", false);
  json_end_object(w);
  EXPECT_EQ(written(w), R"({"t":"a\"b","i":-3,"y":true,"n":false})");
}

TEST(JsonString, Escaping) {
  struct Case {
    std::string input;
    const char* want;
  };
  const Case cases[] = {
      {"", "\"\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"\n\r\t", "\"\\n\\r\\t\""},
      {std::string("\x01\x1f\x7f\b\f", 5), "\"\\u0001\\u001f\\u007f\\u0008\\u000c\""},
      {std::string("a\0b", 3), "\"a\\u0000b\""},
      {"/", "\"/\""},
      {"\xC3", "\"\\ufffd\""},
      {"\xC3\xA9", "\"\xC3\xA9\""},
      {"\xC3"
       "A",
       "\"\\ufffdA\""},
      {"\xED\xA0\x80", "\"\\ufffd\\ufffd\\ufffd\""},  // a surrogate
      {"\xC0\xAF", "\"\\ufffd\\ufffd\""},             // overlong
      {"\xE0\x80\xAF", "\"\\ufffd\\ufffd\\ufffd\""},
      {"\xE2\x82\xAC", "\"\xE2\x82\xAC\""},
      {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
      {"\xF4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},  // above U+10FFFF
      {"\xF0\x9F\x98", "\"\\ufffd\\ufffd\\ufffd\""},
      {"\xFF\xFE", "\"\\ufffd\\ufffd\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    char buf[128];
    JsonWriter w;
    json_writer_init(w, buf, sizeof(buf));
    EXPECT_EQ(json_string(w, c.input.data(), c.input.size(), 0), c.input.size());
    EXPECT_EQ(written(w), c.want);
  }
}

TEST(JsonString, LimitEndsEarlyWithoutOverflow) {
  struct Case {
    std::string input;
    size_t limit;
    size_t capacity;
    size_t want_consumed;
    const char* want;
  };
  const Case cases[] = {
      {"abcdef", 4, 64, 4, "\"abcd\""},
      {"abcdef", 6, 64, 6, "\"abcdef\""},
      {"ab\ncd", 3, 64, 2, "\"ab\""},  // the escape would cross the limit
      {"ab\ncd", 4, 64, 3, "\"ab\\n\""},
      {"a\xC3\xA9", 2, 64, 1, "\"a\""},  // a sequence is never split
      {"a\xC3\xA9", 3, 64, 3, "\"a\xC3\xA9\""},
      {"a\x01", 6, 64, 1, "\"a\""},
      {"abcdef", 100, 6, 3, "\"abc\""},  // room for the quote and the NUL
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    char buf[64];
    JsonWriter w;
    json_writer_init(w, buf, c.capacity);
    EXPECT_EQ(json_string(w, c.input.data(), c.input.size(), c.limit), c.want_consumed);
    EXPECT_EQ(written(w), c.want);
    EXPECT_EQ(w.overflow, 0u);
  }
}

TEST(JsonWriter, OverflowIsStickyAndKeepsTheNul) {
  char buf[8];
  JsonWriter w;
  json_writer_init(w, buf, sizeof(buf));
  json_begin_array(w);
  json_int(w, 12345);  // "[12345" needs 7 bytes with the NUL
  EXPECT_EQ(written(w), "[12345");
  EXPECT_EQ(w.overflow, 0u);
  json_int(w, 1);  // ",1" would need 9
  EXPECT_EQ(w.overflow, 1u);
  EXPECT_EQ(written(w), "[12345,");  // the separator fitted alone
  json_end_array(w);                 // "]" would fit, but overflow stays
  EXPECT_EQ(written(w), "[12345,");
  EXPECT_EQ(buf[w.length], '\0');

  // Without a limit a string that does not fit sets overflow.
  JsonWriter s;
  json_writer_init(s, buf, sizeof(buf));
  json_string(s, "abcdefgh", 8, 0);
  EXPECT_EQ(s.overflow, 1u);
  EXPECT_LT(s.length, sizeof(buf));

  JsonWriter none;
  json_writer_init(none, nullptr, 0);
  json_null(none);
  EXPECT_EQ(none.overflow, 1u);
}

TEST(JsonWriter, SixteenthLevelOverflows) {
  char buf[64];
  JsonWriter w;
  json_writer_init(w, buf, sizeof(buf));
  for (int i = 0; i < kJsonWriterLevels - 1; ++i) {
    json_begin_array(w);
  }
  EXPECT_EQ(w.overflow, 0u);
  EXPECT_EQ(w.depth, kJsonWriterLevels - 1);
  json_begin_array(w);
  EXPECT_EQ(w.overflow, 1u);
}

// An ApiCall over the static response buffer with body as the request body.
struct CallFixture {
  ApiRequest request;
  ApiResponse response;
  ApiCall call;
  explicit CallFixture(std::string_view body = {}) {
    request.body = reinterpret_cast<const uint8_t*>(body.data());
    request.body_length = static_cast<uint32_t>(body.size());
    api_call_init(call, nullptr, request, response);
  }
  std::string body() const {
    return std::string(reinterpret_cast<const char*>(response.body), response.body_length);
  }
};

std::string error_body(std::string_view code, std::string_view message) {
  return "{\"error\":{\"code\":\"" + std::string(code) + "\",\"message\":\"" +
         std::string(message) + "\"}}";
}

TEST(ApiError, EveryCodeWithItsStatus) {
  for (const ApiErrorInfo& info : kApiErrors) {
    SCOPED_TRACE(info.text);
    CallFixture f;
    json_begin_object(f.call.writer);  // discarded
    api_error(f.call, info.code, "n=%d", 3);
    EXPECT_EQ(f.response.status, info.status);
    EXPECT_EQ(f.body(), error_body(info.text, "n=3"));
  }
  EXPECT_EQ(std::size(kApiErrors), 25u);
}

TEST(ApiError, MessageEscapedAndCut) {
  CallFixture f;
  api_error(f.call, ApiErrorCode::kNotFound, "no job \"%s\"\n", "a\\b");
  EXPECT_EQ(f.response.status, 404u);
  EXPECT_EQ(f.body(), error_body("not_found", "no job \\\"a\\\\b\\\"\\n"));

  std::string long_text(2000, 'x');
  api_error(f.call, ApiErrorCode::kInternal, "%s", long_text.c_str());
  EXPECT_EQ(f.body(), error_body("internal", std::string(1023, 'x')));
}

TEST(ApiFinish, SetsBodyOrReplacesAnOverflow) {
  CallFixture f;
  json_begin_object(f.call.writer);
  json_key(f.call.writer, "ok");
  json_bool(f.call.writer, 1);
  json_end_object(f.call.writer);
  api_finish(f.call, 201);
  EXPECT_EQ(f.response.status, 201u);
  EXPECT_EQ(f.body(), "{\"ok\":true}");

  CallFixture big;
  json_begin_array(big.call.writer);
  std::string chunk(1000, 'a');
  for (int i = 0; i < 62; ++i) {
    json_string(big.call.writer, chunk.data(), chunk.size(), 0);
  }
  json_end_array(big.call.writer);
  EXPECT_EQ(big.call.writer.overflow, 1u);
  api_finish(big.call, 200);
  EXPECT_EQ(big.response.status, 500u);
  EXPECT_EQ(big.body(), error_body("internal", "response too large"));
}

TEST(ApiParseBody, RefusalsAndSuccess) {
  struct Case {
    std::string body;
    const char* want_message;  // null: accepted
  };
  std::string too_large = "{\"a\":\"" + std::string(kApiJsonMaxSize, 'a') + "\"}";
  const Case cases[] = {
      {"", "a JSON body is required"},
      {"{", "expected a string key at byte 1"},
      {too_large, "document too large"},
      {"[[[[[]]]]]", "nesting too deep at byte 4"},
      {"[]", "the body must be a JSON object"},
      {"\"x\"", "the body must be a JSON object"},
      {"{\"name\":\"x\"}", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 40));
    CallFixture f(c.body);
    JsonValue* root = api_parse_body(f.call);
    if (c.want_message == nullptr) {
      ASSERT_NE(root, nullptr);
      EXPECT_STREQ(json_as_string(json_object_find(root, "name")), "x");
      EXPECT_EQ(f.response.status, 0u);
    } else {
      EXPECT_EQ(root, nullptr);
      EXPECT_EQ(f.response.status, 400u);
      EXPECT_EQ(f.body(), error_body("invalid_json", c.want_message));
    }
    json_value_free(root);
  }
}

// Parses body (which must be a valid object) and runs check on it.
template <typename F>
void with_object(std::string_view body, F check) {
  CallFixture f(body);
  JsonValue* root = api_parse_body(f.call);
  ASSERT_NE(root, nullptr) << f.body();
  check(f, root);
  json_value_free(root);
}

TEST(ApiCheckFields, FirstUnknownKeyCut) {
  struct Case {
    std::string body;
    const char* want_message;  // null: accepted
  };
  const std::string key150(150, 'k');
  const Case cases[] = {
      {"{}", nullptr},
      {"{\"name\":1,\"schedule\":2}", nullptr},
      {"{\"name\":1,\"x\":2,\"y\":3}", "unknown field 'x'"},
      {"{\"nam\":1}", "unknown field 'nam'"},
      {"{\"name schedule\":1}", "unknown field 'name schedule'"},
      {"{\"\":1}", "unknown field ''"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 40));
    with_object(c.body, [&](CallFixture& f, const JsonValue* root) {
      int rc = api_check_fields(f.call, root, "name schedule");
      if (c.want_message == nullptr) {
        EXPECT_EQ(rc, 0);
      } else {
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(f.response.status, 400u);
        EXPECT_EQ(f.body(), error_body("unknown_field", c.want_message));
      }
    });
  }
  // A resource without fields takes no key, not even the empty one.
  with_object("{\"\":1}", [&](CallFixture& f, const JsonValue* root) {
    EXPECT_EQ(api_check_fields(f.call, root, ""), -1);
    EXPECT_EQ(f.body(), error_body("unknown_field", "unknown field ''"));
  });
  // A 150-byte key is refused even where it is listed, and reported by its first 100 bytes.
  with_object("{\"" + key150 + "\":1}", [&](CallFixture& f, const JsonValue* root) {
    EXPECT_EQ(api_check_fields(f.call, root, ("name " + key150).c_str()), -1);
    EXPECT_EQ(f.body(),
              error_body("unknown_field", "unknown field '" + key150.substr(0, 100) + "'"));
  });
}

TEST(ApiGetText, Table) {
  struct Case {
    std::string value;  // JSON text of the field, empty: absent
    int want_rc;
    const char* want;  // copied text, or the error message
  };
  const char* rule =
      "'f' must be 1..63 characters without control characters or leading/trailing spaces";
  const Case cases[] = {
      {"", 0, ""},
      {"null", 0, ""},
      {"\"x\"", 0, "x"},
      {"\"" + std::string(63, 'a') + "\"", 0, nullptr},
      {"\"" + std::string(64, 'a') + "\"", -1, rule},
      {"\"  x\"", -1, rule},
      {"\"x \"", -1, rule},
      {"\"\"", -1, rule},
      {"\"a\\tb\"", -1, rule},
      {"\"a\\u007fb\"", -1, rule},
      {"\"caf\xC3\xA9\"", 0, "caf\xC3\xA9"},
      {"5", -1, "'f' must be a string or null"},
      {"true", -1, "'f' must be a string or null"},
      {"[]", -1, "'f' must be a string or null"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.substr(0, 40));
    std::string body = c.value.empty() ? "{}" : "{\"f\":" + c.value + "}";
    with_object(body, [&](CallFixture& f, const JsonValue* root) {
      char dest[64] = "old";
      EXPECT_EQ(api_get_text(f.call, root, "f", dest), c.want_rc);
      if (c.want_rc == 0) {
        EXPECT_EQ(f.response.status, 0u);
        EXPECT_EQ(std::string(dest), c.want != nullptr ? c.want : std::string(63, 'a'));
      } else {
        EXPECT_STREQ(dest, "");
        EXPECT_EQ(f.response.status, 400u);
        EXPECT_EQ(f.body(), error_body("invalid_value", c.want));
      }
    });
  }
}

TEST(ApiGetInt, Table) {
  struct Case {
    const char* value;  // JSON text of the field, empty: absent
    int want_rc;
    int64_t want;
  };
  const Case cases[] = {
      {"", 0, -1},
      {"null", 0, -1},
      {"0", 0, 0},
      {"86400", 0, 86400},
      {"86401", -1, -1},
      {"-1", -1, -1},
      {"\"5\"", -1, -1},
      {"1.0", -1, -1},
      {"1e2", -1, -1},
      {"true", -1, -1},
      {"9223372036854775808", -1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    std::string body = c.value[0] == '\0' ? "{}" : std::string("{\"n\":") + c.value + "}";
    with_object(body, [&](CallFixture& f, const JsonValue* root) {
      int64_t out = 99;
      EXPECT_EQ(api_get_int(f.call, root, "n", 86400, out), c.want_rc);
      EXPECT_EQ(out, c.want);
      if (c.want_rc != 0) {
        EXPECT_EQ(f.response.status, 400u);
        EXPECT_EQ(f.body(), error_body("invalid_value", "'n' must be an integer 0..86400 or null"));
      }
    });
  }
}

}  // namespace
}  // namespace vrk
