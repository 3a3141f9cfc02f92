// JsonWriter: builds one JSON document without whitespace in a fixed, always NUL-terminated
// buffer; once an append does not fit, overflow is set and every later append is skipped.
// ApiCall: one API request being answered, with the uniform error body
// {"error":{"code":"...","message":"..."}}, whose codes and statuses are one table, and the
// request-body helpers every writing handler shares.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <span>
#include <type_traits>

#include "common/ipc.h"
#include "sched/api/json_reader.h"
#include "sched/api/tokens.h"

namespace vrk {

struct ApiState;

inline constexpr int kJsonWriterLevels = 16;
inline constexpr size_t kApiResponseSize = 61440;  // every API response body
inline constexpr size_t kApiMessageSize = 1024;    // error messages are cut to 1023 bytes
inline constexpr size_t kApiFieldNameMax = 100;    // longer keys are never allowed fields

struct JsonWriter {
  char* buffer = nullptr;
  uint64_t capacity = 0;
  uint64_t length = 0;
  uint32_t overflow = 0;
  uint32_t first[kJsonWriterLevels] = {};  // per level: 1 until its first element
  int32_t depth = 0;
  uint32_t after_key = 0;  // the next value follows a key and needs no comma
};
static_assert(std::is_trivially_copyable_v<JsonWriter>);

// Starts an empty document in buffer (capacity bytes including the NUL).
void json_writer_init(JsonWriter& w, char* buffer, size_t capacity);

// "{" / "[" and a new level. Opening a 16th level sets overflow instead: deeper documents
// would lose their commas.
void json_begin_object(JsonWriter& w);
void json_begin_array(JsonWriter& w);
// "}" / "]"; the depth goes down by one, not below 0.
void json_end_object(JsonWriter& w);
void json_end_array(JsonWriter& w);
// The key as an escaped string and ":".
void json_key(JsonWriter& w, const char* key);
// An escaped string of length input bytes. Returns the input bytes consumed: all of them with
// limit 0 (or overflow is set); with a non-zero limit the string ends, without overflow, before
// the first byte or UTF-8 sequence whose escape would make the content exceed limit bytes or
// leave no room for the closing quote. Invalid UTF-8 becomes one \ufffd per bad byte.
size_t json_string(JsonWriter& w, const void* bytes, size_t length, size_t limit);
// null for an empty (or null) text, else the escaped string.
void json_string_or_null(JsonWriter& w, const char* text);
void json_int(JsonWriter& w, int64_t value);
void json_bool(JsonWriter& w, int flag);
void json_null(JsonWriter& w);
// A member: the key, then the escaped text, the integer or the boolean.
void json_put_text(JsonWriter& w, const char* key, const char* value);
void json_put_int(JsonWriter& w, const char* key, int64_t value);
void json_put_bool(JsonWriter& w, const char* key, bool value);

// The API's error codes; kApiErrors holds each one's text and HTTP status.
enum class ApiErrorCode : uint32_t {
  kBadRequest,
  kBadQuery,
  kInvalidJson,
  kUnknownField,
  kInvalidValue,
  kInvalidName,
  kConfigInvalid,
  kUnauthorized,
  kForbidden,
  kConfigWriteDisabled,
  kCommandNotAllowed,
  kArgsNotAllowed,
  kReadOnly,
  kNotFound,
  kMethodNotAllowed,
  kJobRunning,
  kJobReferenced,
  kNotRunning,
  kMailNotConfigured,
  kPreconditionFailed,
  kPreconditionRequired,
  kInternal,
  kConfigUnreadable,
  kUnavailable,
  kRunQueueFull,
};

struct ApiErrorInfo {
  ApiErrorCode code;
  const char* text;
  uint32_t status;
};

inline constexpr ApiErrorInfo kApiErrors[] = {
    {ApiErrorCode::kBadRequest, "bad_request", 400},
    {ApiErrorCode::kBadQuery, "bad_query", 400},
    {ApiErrorCode::kInvalidJson, "invalid_json", 400},
    {ApiErrorCode::kUnknownField, "unknown_field", 400},
    {ApiErrorCode::kInvalidValue, "invalid_value", 400},
    {ApiErrorCode::kInvalidName, "invalid_name", 400},
    {ApiErrorCode::kConfigInvalid, "config_invalid", 400},
    {ApiErrorCode::kUnauthorized, "unauthorized", 401},
    {ApiErrorCode::kForbidden, "forbidden", 403},
    {ApiErrorCode::kConfigWriteDisabled, "config_write_disabled", 403},
    {ApiErrorCode::kCommandNotAllowed, "command_not_allowed", 403},
    {ApiErrorCode::kArgsNotAllowed, "args_not_allowed", 403},
    {ApiErrorCode::kReadOnly, "read_only", 403},
    {ApiErrorCode::kNotFound, "not_found", 404},
    {ApiErrorCode::kMethodNotAllowed, "method_not_allowed", 405},
    {ApiErrorCode::kJobRunning, "job_running", 409},
    {ApiErrorCode::kJobReferenced, "job_referenced", 409},
    {ApiErrorCode::kNotRunning, "not_running", 409},
    {ApiErrorCode::kMailNotConfigured, "mail_not_configured", 409},
    {ApiErrorCode::kPreconditionFailed, "precondition_failed", 412},
    {ApiErrorCode::kPreconditionRequired, "precondition_required", 428},
    {ApiErrorCode::kInternal, "internal", 500},
    {ApiErrorCode::kConfigUnreadable, "config_unreadable", 500},
    {ApiErrorCode::kUnavailable, "unavailable", 503},
    {ApiErrorCode::kRunQueueFull, "run_queue_full", 503},
};

// The table row of code (rows are in enumerator order).
constexpr const ApiErrorInfo& api_error_info(ApiErrorCode code) {
  return kApiErrors[static_cast<uint32_t>(code)];
}

struct ApiCall {
  ApiState* state = nullptr;
  const ApiRequest* request = nullptr;
  ApiResponse* response = nullptr;
  const ApiToken* token = nullptr;  // set once the request is authenticated
  char token_name[kTokenNameSize] = {};
  TokenRole role = TokenRole::kRead;
  JsonWriter writer;
};

// Clears response and sets call up for request, its writer over the API's one static response
// buffer of kApiResponseSize bytes. The response body points into that buffer until the next
// call: answer one request at a time and encode each response before the next. state may be
// null where nothing reads it.
void api_call_init(ApiCall& call, ApiState* state, const ApiRequest& request,
                   ApiResponse& response);

// Sets the response's status and body from the writer. After an overflow the body becomes the
// "internal" error "response too large" and the status 500.
void api_finish(ApiCall& call, uint32_t status);

// Replaces whatever the handler wrote with the error body of code (message printf-formatted,
// cut to 1023 bytes) and finishes with the code's status. The handler returns at once after it.
[[gnu::format(printf, 3, 4)]] void api_error(ApiCall& call, ApiErrorCode code, const char* fmt,
                                             ...);

// The request body parsed as a JSON object with the API's limits; null with the "invalid_json"
// error response set otherwise. The caller frees the result with json_value_free.
JsonValue* api_parse_body(ApiCall& call);

// 0 when every key of object is one of the space-separated names in allowed; -1 with the
// "unknown_field" error response for the first key that is not.
[[nodiscard]] int api_check_fields(ApiCall& call, const JsonValue* object, const char* allowed);

// Optional text field: dest is emptied first (absent or null leaves it empty). A string that
// may be written into the configuration file and is shorter than dest is copied. Otherwise -1
// with the "invalid_value" error response set.
[[nodiscard]] int api_get_text(ApiCall& call, const JsonValue* object, const char* name,
                               std::span<char> dest);

// Optional integer field: out is -1 when absent or null, else an integer 0..maximum. Otherwise
// -1 with the "invalid_value" error response set.
[[nodiscard]] int api_get_int(ApiCall& call, const JsonValue* object, const char* name,
                              int64_t maximum, int64_t& out);

}  // namespace vrk
