// The result notification mailed after a run: whether to send it, its subject and body.
#pragma once

#include <stddef.h>

#include <span>

#include "sched/config.h"
#include "sched/job_run.h"

namespace vrk {

struct NetSupervisor;

inline constexpr int kNotifyHostSize = 256;
inline constexpr int kNotifySubjectSize = 512;
inline constexpr int kNotifyBodySize = 40960;
inline constexpr size_t kNotifyTailBytes = 16384;
inline constexpr int kNotifyTailLines = 40;

// The system host name, or "localhost" when it cannot be read (buffer of 256 bytes).
void notify_host_name(std::span<char> out);

// Subject and body of the report on result (buffers of 512 and 40960 bytes; cut to them):
// the fixed fields in local time, then, when the run has a job log, the last 40 lines of it.
void notify_compose(const char* job_name, const char* host, const RunResult& result,
                    std::span<char> subject, std::span<char> body);

// Mails the run's result when the job wants it (never for busy): through net when given (the
// daemon), else through a one-shot network process. Outcomes are logged; nothing fails.
void notify_job_result(const SchedConfig& config, const JobConfig& job, const RunResult& result,
                       NetSupervisor* net);

}  // namespace vrk
