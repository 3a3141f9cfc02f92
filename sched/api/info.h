// The API's resources as far as they exist yet: GET /api/v1/info, the server's description for a
// client (versions, host, daemon state, configuration ETag, the caller's token, policy, the
// command table and limits). Every other path is answered 404.
#pragma once

#include "sched/api/json_writer.h"

namespace vrk {

// Routes one authenticated call; always ends with a response (api_finish or api_error).
void api_route(ApiCall& call);

// GET /api/v1/info: 200 with the server description, or 500 "config_unreadable" when the
// configuration file cannot be read and parsed consistently.
void api_get_info(ApiCall& call);

}  // namespace vrk
