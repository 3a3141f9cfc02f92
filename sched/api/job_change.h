// The job changes of the configuration API: PUT and DELETE /api/v1/jobs/<name> rewrite the job's
// section in the configuration file (If-Match with the configuration ETag, the [api] policy,
// full validation before the file is replaced), POST /api/v1/validate/job says whether a job
// definition would be accepted without writing anything.
#pragma once

#include <string>

#include "sched/api/config_snapshot.h"
#include "sched/api/json_reader.h"
#include "sched/api/json_writer.h"

namespace vrk {

// The members a PUT body may have; a validation body has "name" besides.
inline constexpr const char* kApiJobFields =
    "command profile args schedule once after after_mode enabled timeout_seconds notify "
    "run_background start_background retention retention_class";
inline constexpr const char* kApiValidateJobFields =
    "name command profile args schedule once after after_mode enabled timeout_seconds notify "
    "run_background start_background retention retention_class";
inline constexpr int64_t kApiJobTimeoutMax = 10000000;
inline constexpr size_t kApiAfterNameMax = 127;
inline constexpr size_t kApiJobNameMax = 64;  // longest name a job may be created with

// PUT /api/v1/jobs/<name>: creates (201) or replaces (200) the job's section and answers
// {"config_etag":...,"created":...,"job":...}.
void api_put_job(ApiCall& call, const char* name);

// DELETE /api/v1/jobs/<name>: removes the job's section and its queued API run; answers
// {"config_etag":...}.
void api_delete_job(ApiCall& call, const char* name);

// POST /api/v1/validate/job: 200 {"valid":...,"result":...} with the refusal a PUT of the body
// would get (400 and 403 answers, or config_invalid) embedded as result.
void api_validate_job(ApiCall& call);

// The configuration text with name's section holding exactly what body asks for (members
// checked in a fixed order, then the [api] policy for a new or a replaced job). 0 with out set
// and created telling whether the job is new; -1 with the error response set.
[[nodiscard]] int job_section_from_body(ApiCall& call, const ConfigSnapshot& snapshot,
                                        const char* name, const JsonValue* body, std::string& out,
                                        bool& created);

}  // namespace vrk
