// The settings resources: the [sched] values and the [mail] settings of the configuration file,
// GET /api/v1/settings/sched and /api/v1/settings/mail. The SMTP password is never sent; only
// whether the file sets one and whether it is a file: reference or a literal.
#pragma once

#include "sched/api/json_writer.h"

namespace vrk {

// 200 {"config_etag":...,"sched":{...}}, each value null when the file does not set it.
void api_get_sched(ApiCall& call);

// 200 {"config_etag":...,"mail":null or {...}}.
void api_get_mail(ApiCall& call);

}  // namespace vrk
