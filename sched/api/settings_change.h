// The settings changes: PUT /api/v1/settings/mail replaces or removes the [mail] section, PUT
// /api/v1/settings/sched replaces the [sched] values. Both edit the file's text, go through
// api_apply_change and answer with the settings as the file then holds them. A client may set a
// literal SMTP password but never a password reference, and an omitted password is kept.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "sched/api/json_writer.h"

namespace vrk {

inline constexpr size_t kApiMailRecipientsMax = 16;
inline constexpr int64_t kApiSchedValueMax = 100000000;

// PUT /settings/mail with {"mail":{...}} or {"mail":null}. 200 with the api_get_mail document;
// 403 for a read token, writes disabled or a "file:"/"kms:" password; 428/412 without the
// current If-Match; 404 when null asks to remove a [mail] section the file does not have; 400
// for a body outside the rules or a result that does not validate ("config_invalid").
void api_put_mail(ApiCall& call);

// PUT /settings/sched with {"sched":{...}}: each value an integer 0..100000000 or null, 0 and
// null removing the key; job-log-dir is kept as the file has it and job_log_dir answers 403
// "read_only". 200 with the api_get_sched document; errors as for api_put_mail.
void api_put_sched(ApiCall& call);

}  // namespace vrk
