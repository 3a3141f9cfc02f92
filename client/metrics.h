// The jobs' state in the Prometheus text exposition format, for node_exporter's textfile
// collector: one gauge family per value, one sample per job labelled job_name="<name>".
// Unknown times are 0; the last exit code is left out while unknown.
#pragma once

#include <span>
#include <string>

#include "sched/api/json_reader.h"

namespace vrk {

inline constexpr size_t kMetricsErrSize = 256;

// One job: its object from GET /api/v1/jobs, and the answer of GET /api/v1/jobs/<name>/runs
// when it could be had (null otherwise; the last success then comes from the job's state only).
struct MetricsJob {
  const JsonValue* job = nullptr;
  const JsonValue* runs = nullptr;
};

// Writes every family for jobs into out (replaced). 0, or -1 with "job %zu has no name" in err
// (kMetricsErrSize bytes) when an element is no object with a string name.
[[nodiscard]] int metrics_write(std::span<const MetricsJob> jobs, std::string& out,
                                std::span<char> err);

}  // namespace vrk
