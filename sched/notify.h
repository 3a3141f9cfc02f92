// The result notification mailed after a run: whether to send it, its subject and body.
#pragma once

#include "sched/config.h"
#include "sched/job_run.h"

namespace vrk {

struct NetSupervisor;

// Mails the run's result when the job wants it (never for busy): through net when given (the
// daemon), else through a one-shot network process. Outcomes are logged; nothing fails.
void notify_job_result(const SchedConfig& config, const JobConfig& job, const RunResult& result,
                       NetSupervisor* net);

}  // namespace vrk
