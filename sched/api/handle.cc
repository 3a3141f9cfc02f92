#include "sched/api/handle.h"

#include <string.h>

#include "common/clock.h"
#include "common/log.h"
#include "common/text.h"
#include "sched/api/auth.h"
#include "sched/api/json_writer.h"
#include "sched/api/router.h"
#include "sched/api/tokens.h"

namespace vrk {
namespace {

// Keeps state.tokens in step with the tokens file, looked at (not opened) on every request: a
// changed path, stamp or a first request loads it again. False when the table cannot be used.
bool tokens_usable(ApiState& state, const char* path) {
  TokenFileStamp stamp;
  token_file_stamp(path, stamp);
  bool same_path = strcmp(path, state.token_file_path) == 0;
  if (same_path && state.token_file_state != kTokenFileNeverLoaded &&
      token_file_stamp_same(stamp, state.token_file_stamp)) {
    return state.token_file_state == kTokenFileLoaded;
  }
  // The path fits: it comes from the loaded configuration with the same limit.
  text_copy_cut(state.token_file_path, path);
  state.token_file_stamp = stamp;
  char err[kTokenFileErrSize];
  if (token_file_load(path, state.tokens, err) != 0) {
    log_msg(kLogError, "vrk_sched API: %s -- every API request is refused until this is fixed",
            err);
    state.token_file_state = kTokenFileFailed;
    return false;
  }
  log_msg(kLogInfo, "vrk_sched API: %zu token(s) loaded from %s",
          static_cast<size_t>(state.tokens.count), path);
  state.token_file_state = kTokenFileLoaded;
  return true;
}

// Authenticates and routes; every path ends with a response set through the call.
void answer(ApiCall& call, AuthResult& auth) {
  ApiState& state = *call.state;
  const ApiRequest& request = *call.request;
  if (state.config == nullptr || state.config->api.enabled == 0) {
    api_error(call, ApiErrorCode::kUnavailable, "the API is disabled");
    return;
  }
  if (!tokens_usable(state, state.config->api.tokens_file)) {
    api_error(call, ApiErrorCode::kUnavailable,
              "the API's token file cannot be used (see the server log)");
    return;
  }
  AuthReason reason =
      api_authenticate(state.tokens, state.nonce_cache, clock_unix_now(), request, auth);
  const char* why = api_auth_reason(static_cast<int>(reason));
  if (reason == AuthReason::kRateLimited) {
    api_error(call, ApiErrorCode::kUnavailable, "%s", why);
    return;
  }
  if (reason != AuthReason::kOk) {
    log_msg(kLogWarn, "vrk_sched API: %s %s from %s refused: %s", request.method, request.path,
            request.client_address, why);
    api_error(call, ApiErrorCode::kUnauthorized, "%s", why);
    call.response->failed_login = 1;
    return;
  }
  call.token = auth.token;
  text_copy_cut(call.token_name, auth.token->name);
  call.role = auth.token->role;
  if (strcmp(request.method, "GET") != 0) {
    log_msg(kLogInfo, "vrk_sched API: token '%s' from %s: %s %s", call.token_name,
            request.client_address, request.method, request.path);
  }
  api_route(call);
}

}  // namespace

void api_handle_request(ApiState& state, const ApiRequest& request, ApiResponse& response) {
  response = ApiResponse{};
  ApiCall call;
  api_call_init(call, &state, request, response);
  AuthResult auth;
  answer(call, auth);
  if (response.status == 0) {
    api_error(call, ApiErrorCode::kInternal, "no response");
  }
  if (auth.signed_request != 0) {
    api_response_signature(*auth.token, auth.nonce, response.status, response.body,
                           response.body_length, response.signature);
  }
}

int api_handle_request(void* state, const ApiRequest& request, ApiResponse& response) {
  api_handle_request(*static_cast<ApiState*>(state), request, response);
  return 0;
}

}  // namespace vrk
