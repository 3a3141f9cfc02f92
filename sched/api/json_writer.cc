#include "sched/api/json_writer.h"

#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string_view>

#include "common/error.h"
#include "common/text.h"
#include "sched/ini_edit.h"

namespace vrk {
namespace {

constexpr bool api_errors_in_order() {
  for (size_t i = 0; i < std::size(kApiErrors); ++i) {
    if (static_cast<size_t>(kApiErrors[i].code) != i) {
      return false;
    }
  }
  return true;
}
static_assert(api_errors_in_order(), "kApiErrors rows follow ApiErrorCode");

// The one response area: requests are answered one at a time on the daemon's thread.
char g_response[kApiResponseSize];

// Appends n bytes only when they fit with the terminating NUL; otherwise sets overflow.
bool append(JsonWriter& w, const char* s, size_t n) {
  if (w.overflow != 0) {
    return false;
  }
  if (w.length + n + 1 > w.capacity) {
    w.overflow = 1;
    return false;
  }
  memcpy(w.buffer + w.length, s, n);
  w.length += n;
  w.buffer[w.length] = '\0';
  return true;
}

// Before a value, bracket or key: a comma unless it follows a key or opens its level.
void separator(JsonWriter& w) {
  if (w.after_key != 0) {
    w.after_key = 0;
  } else if (w.depth > 0 && w.first[w.depth] == 0) {
    append(w, ",", 1);
  }
  w.first[w.depth] = 0;
}

void begin_level(JsonWriter& w, char bracket) {
  separator(w);
  if (w.depth >= kJsonWriterLevels - 1) {
    w.overflow = 1;
    return;
  }
  append(w, &bracket, 1);
  ++w.depth;
  w.first[w.depth] = 1;
}

void end_level(JsonWriter& w, char bracket) {
  append(w, &bracket, 1);
  if (w.depth > 0) {
    --w.depth;
  }
}

// Printable ASCII other than the quote and the backslash: written as it is.
bool json_plain_byte(unsigned char c) {
  return c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
}

// The escaped form of the byte or UTF-8 sequence at in[0]; sets consumed to its input length.
size_t escape_one(const unsigned char* in, size_t available, char (&out)[8], size_t& consumed) {
  unsigned char c = in[0];
  consumed = 1;
  switch (c) {
    case '"':
      memcpy(out, "\\\"", 2);
      return 2;
    case '\\':
      memcpy(out, "\\\\", 2);
      return 2;
    case '\n':
      memcpy(out, "\\n", 2);
      return 2;
    case '\r':
      memcpy(out, "\\r", 2);
      return 2;
    case '\t':
      memcpy(out, "\\t", 2);
      return 2;
    default:
      break;
  }
  if (c < 0x20 || c == 0x7F) {
    snprintf(out, sizeof(out), "\\u%04x", c);
    return 6;
  }
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  size_t n = utf8_sequence_length(in, available);
  if (n == 0) {
    memcpy(out, "\\ufffd", 6);
    return 6;
  }
  memcpy(out, in, n);
  consumed = n;
  return n;
}

size_t write_escaped(JsonWriter& w, const unsigned char* in, size_t length, size_t limit) {
  if (!append(w, "\"", 1)) {
    return 0;
  }
  size_t i = 0;
  size_t content = 0;
  while (i < length) {
    // A run of bytes that stand for themselves is copied at once (job logs are mostly such
    // text); the limit and the room in the buffer cut it exactly where byte by byte would stop.
    size_t run = 0;
    while (i + run < length && json_plain_byte(in[i + run])) {
      ++run;
    }
    if (run > 0 && limit != 0) {
      const size_t room = w.capacity - w.length >= 2 ? w.capacity - w.length - 2 : 0;
      run = std::min({run, limit - content, room});
      if (run == 0) {
        break;
      }
    }
    if (run > 0 && w.length + run + 1 <= w.capacity) {
      if (!append(w, reinterpret_cast<const char*>(in + i), run)) {
        return i;
      }
      content += run;
      i += run;
      continue;
    }
    char piece[8];
    size_t consumed = 0;
    size_t n = escape_one(in + i, length - i, piece, consumed);
    // With a limit the string ends early, keeping room for the closing quote and the NUL.
    if (limit != 0 && (content + n > limit || w.length + n + 2 > w.capacity)) {
      break;
    }
    if (!append(w, piece, n)) {
      return i;
    }
    content += n;
    i += consumed;
  }
  append(w, "\"", 1);
  return i;
}

void write_error_body(JsonWriter& w, const char* code, const char* message) {
  json_begin_object(w);
  json_key(w, "error");
  json_begin_object(w);
  json_key(w, "code");
  json_string(w, code, strlen(code), 0);
  json_key(w, "message");
  json_string(w, message, strlen(message), 0);
  json_end_object(w);
  json_end_object(w);
}

void set_body(ApiCall& call, uint32_t status) {
  call.response->status = status;
  call.response->body = reinterpret_cast<const uint8_t*>(call.writer.buffer);
  call.response->body_length = static_cast<uint32_t>(call.writer.length);
}

}  // namespace

void json_writer_init(JsonWriter& w, char* buffer, size_t capacity) {
  w = JsonWriter{};
  w.buffer = buffer;
  w.capacity = capacity;
  if (capacity > 0) {
    buffer[0] = '\0';
  }
}

void json_begin_object(JsonWriter& w) {
  begin_level(w, '{');
}
void json_begin_array(JsonWriter& w) {
  begin_level(w, '[');
}
void json_end_object(JsonWriter& w) {
  end_level(w, '}');
}
void json_end_array(JsonWriter& w) {
  end_level(w, ']');
}

void json_key(JsonWriter& w, const char* key) {
  separator(w);
  write_escaped(w, reinterpret_cast<const unsigned char*>(key), strlen(key), 0);
  append(w, ":", 1);
  w.after_key = 1;
}

size_t json_string(JsonWriter& w, const void* bytes, size_t length, size_t limit) {
  separator(w);
  return write_escaped(w, static_cast<const unsigned char*>(bytes), length, limit);
}

void json_string_or_null(JsonWriter& w, const char* text) {
  if (text == nullptr || text[0] == '\0') {
    json_null(w);
    return;
  }
  json_string(w, text, strlen(text), 0);
}

void json_int(JsonWriter& w, int64_t value) {
  separator(w);
  char digits[24];
  int n = snprintf(digits, sizeof(digits), "%" PRId64, value);
  append(w, digits, static_cast<size_t>(n));
}

void json_bool(JsonWriter& w, int flag) {
  separator(w);
  if (flag != 0) {
    append(w, "true", 4);
  } else {
    append(w, "false", 5);
  }
}

void json_null(JsonWriter& w) {
  separator(w);
  append(w, "null", 4);
}

void json_put_text(JsonWriter& w, const char* key, const char* value) {
  json_key(w, key);
  json_string(w, value, strlen(value), 0);
}

void json_put_int(JsonWriter& w, const char* key, int64_t value) {
  json_key(w, key);
  json_int(w, value);
}

void json_put_bool(JsonWriter& w, const char* key, bool value) {
  json_key(w, key);
  json_bool(w, value ? 1 : 0);
}

void api_call_init(ApiCall& call, ApiState* state, const ApiRequest& request,
                   ApiResponse& response) {
  response = ApiResponse{};
  call = ApiCall{};
  call.state = state;
  call.request = &request;
  call.response = &response;
  json_writer_init(call.writer, g_response, sizeof(g_response));
}

void api_finish(ApiCall& call, uint32_t status) {
  if (call.writer.overflow != 0) {
    json_writer_init(call.writer, g_response, sizeof(g_response));
    const ApiErrorInfo& info = api_error_info(ApiErrorCode::kInternal);
    write_error_body(call.writer, info.text, "response too large");
    status = info.status;
  }
  set_body(call, status);
}

void api_error(ApiCall& call, ApiErrorCode code, const char* fmt, ...) {
  char message[kApiMessageSize];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(message, sizeof(message), fmt, ap);
  va_end(ap);
  const ApiErrorInfo& info = api_error_info(code);
  json_writer_init(call.writer, g_response, sizeof(g_response));
  write_error_body(call.writer, info.text, message);
  set_body(call, info.status);
}

JsonValue* api_parse_body(ApiCall& call) {
  const ApiRequest& req = *call.request;
  if (req.body_length == 0) {
    api_error(call, ApiErrorCode::kInvalidJson, "a JSON body is required");
    return nullptr;
  }
  char err[kApiJsonErrSize];
  JsonValue* root = nullptr;
  std::string_view body(reinterpret_cast<const char*>(req.body), req.body_length);
  if (json_parse(body, kApiJsonMaxSize, kApiJsonMaxDepth, kApiJsonMaxValues, root, err) != 0) {
    api_error(call, ApiErrorCode::kInvalidJson, "%s", err);
    return nullptr;
  }
  if (json_type_of(root) != JsonType::kObject) {
    json_value_free(root);
    api_error(call, ApiErrorCode::kInvalidJson, "the body must be a JSON object");
    return nullptr;
  }
  return root;
}

int api_check_fields(ApiCall& call, const JsonValue* object, const char* allowed) {
  std::string_view names(allowed);
  for (size_t i = 0; i < json_object_length(object); ++i) {
    std::string_view key(json_object_key(object, i));
    bool known = false;
    if (key.size() <= kApiFieldNameMax) {
      size_t pos = 0;
      while (!known && pos <= names.size()) {
        size_t space = names.find(' ', pos);
        size_t end = space == std::string_view::npos ? names.size() : space;
        std::string_view name = names.substr(pos, end - pos);
        known = !name.empty() && name == key;
        pos = end + 1;
      }
    }
    if (!known) {
      api_error(call, ApiErrorCode::kUnknownField, "unknown field '%.100s'", key.data());
      return -1;
    }
  }
  return 0;
}

int api_get_text(ApiCall& call, const JsonValue* object, const char* name, std::span<char> dest) {
  if (!dest.empty()) {
    dest[0] = '\0';
  }
  const JsonValue* v = json_object_find(object, name);
  JsonType type = json_type_of(v);
  if (type == JsonType::kNull) {
    return 0;
  }
  if (type != JsonType::kString) {
    api_error(call, ApiErrorCode::kInvalidValue, "'%s' must be a string or null", name);
    return -1;
  }
  if (!ini_value_writable(v->text) || !text_copy(dest, v->text)) {
    api_error(call, ApiErrorCode::kInvalidValue,
              "'%s' must be 1..%zu characters without control characters or leading/trailing "
              "spaces",
              name, dest.empty() ? 0 : dest.size() - 1);
    return -1;
  }
  return 0;
}

int api_get_int(ApiCall& call, const JsonValue* object, const char* name, int64_t maximum,
                int64_t& out) {
  out = -1;
  const JsonValue* v = json_object_find(object, name);
  if (json_type_of(v) == JsonType::kNull) {
    return 0;
  }
  int64_t value = 0;
  if (json_as_integer(v, value) == 0 || value < 0 || value > maximum) {
    api_error(call, ApiErrorCode::kInvalidValue, "'%s' must be an integer 0..%lld or null", name,
              static_cast<long long>(maximum));
    return -1;
  }
  out = value;
  return 0;
}

}  // namespace vrk
