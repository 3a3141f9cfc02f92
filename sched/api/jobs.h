// The job resources: the job object every job answer shares (configuration, policy and queue
// state of one job), the paged list GET /api/v1/jobs and one job, GET /api/v1/jobs/<name>.
#pragma once

#include <stdint.h>

#include "sched/api/json_writer.h"
#include "sched/config.h"
#include "sched/queue.h"

namespace vrk {

inline constexpr int64_t kApiJobsPageMax = 50;
// A page ends before the job that leaves fewer bytes than this free in the response buffer.
inline constexpr uint64_t kApiJobsPageReserve = 256;

// Writes job as one JSON object. state is null when view is null or has no entry for the job;
// api_allowed comes from the daemon's loaded configuration, RUNNING and run_requested from the
// daemon's state.
void api_write_job(ApiCall& call, const JobConfig& job, const QueueState* view);

// GET /api/v1/jobs?offset=&limit=: a page of at most limit (default and maximum 50) jobs in file
// order from offset, ended early rather than overflowing the response buffer.
void api_list_jobs(ApiCall& call);

// GET /api/v1/jobs/<name>: 200 with the job, 404 "no job named '%s'".
void api_get_job(ApiCall& call, const char* name);

}  // namespace vrk
