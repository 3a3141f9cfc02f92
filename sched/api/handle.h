// The API's entry point: every ApiRequest from the network process is answered here. It keeps
// the token table in step with its file, authenticates, routes, and signs the response of every
// signed request. Runs on the daemon's one thread; the response body points into the API's
// static response buffer until the next request.
#pragma once

#include "common/ipc.h"
#include "sched/api/state.h"

namespace vrk {

// Answers request: always leaves a complete response (status 100..599, body, the signature for
// a signed request, the failed-login flag for a failed authentication). Logs refusals at WARN
// and changes at INFO, never a secret.
void api_handle_request(ApiState& state, const ApiRequest& request, ApiResponse& response);

// The same as the network supervisor's request handler: context is the ApiState. Returns 0.
int api_handle_request(void* state, const ApiRequest& request, ApiResponse& response);

}  // namespace vrk
