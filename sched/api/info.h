// GET /api/v1/info: the server's description for a client (versions, host, daemon state,
// configuration ETag, the caller's token, policy, the command table and limits).
#pragma once

#include "sched/api/json_writer.h"

namespace vrk {

// GET /api/v1/info: 200 with the server description, or 500 "config_unreadable" when the
// configuration file cannot be read and parsed consistently.
void api_get_info(ApiCall& call);

}  // namespace vrk
