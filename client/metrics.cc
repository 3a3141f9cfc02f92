#include "client/metrics.h"

#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "common/error.h"

namespace vrk {
namespace {

// What one job contributes; has_exit_code false leaves the exit code sample out.
struct JobSample {
  std::string label;  // job_name="..." with the name escaped
  int64_t last_run = 0;
  int64_t last_finish = 0;
  int64_t last_success = 0;
  int64_t next_run = 0;
  int64_t exit_code = 0;
  bool has_exit_code = false;
  bool running = false;
  bool enabled = false;
};

struct Family {
  const char* name;
  const char* help;
  int64_t JobSample::*value;
  bool JobSample::*flag;  // for 0/1 gauges
};

constexpr Family kFamilies[] = {
    {"vrk_sched_job_last_run_timestamp_seconds",
     "Start of the job's last run (Unix seconds, 0 if never).", &JobSample::last_run, nullptr},
    {"vrk_sched_job_last_finish_timestamp_seconds",
     "End of the job's last run (Unix seconds, 0 if never).", &JobSample::last_finish, nullptr},
    {"vrk_sched_job_last_success_timestamp_seconds",
     "End of the job's last successful run (Unix seconds, 0 if none is known).",
     &JobSample::last_success, nullptr},
    {"vrk_sched_job_last_exit_code", "Exit code of the job's last finished run.",
     &JobSample::exit_code, nullptr},
    {"vrk_sched_job_next_run_timestamp_seconds",
     "Next scheduled start of the job (Unix seconds, 0 if none).", &JobSample::next_run, nullptr},
    {"vrk_sched_job_running", "1 while the job runs.", nullptr, &JobSample::running},
    {"vrk_sched_job_enabled", "1 when the job is enabled in the configuration.", nullptr,
     &JobSample::enabled},
};

int64_t member_int(const JsonValue* object, const char* key) {
  int64_t v = 0;
  return json_as_integer(json_object_find(object, key), v) == 1 ? v : 0;
}

// Label values escape backslash, double quote and line feed.
std::string label_for(const char* name) {
  std::string out = "job_name=\"";
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '"') {
      out += '\\';
      out += *p;
    } else if (*p == '\n') {
      out += "\\n";
    } else {
      out += *p;
    }
  }
  out += '"';
  return out;
}

// The newest run that finished with exit code 0, from a runs answer (newest first).
int64_t newest_success(const JsonValue* runs_answer) {
  const JsonValue* runs = json_object_find(runs_answer, "runs");
  int64_t best = 0;
  for (size_t i = 0; i < json_array_length(runs); ++i) {
    const JsonValue* run = json_array_item(runs, i);
    int finished = 0;
    int64_t code = -1;
    if (json_as_bool(json_object_find(run, "finished"), finished) == 1 && finished != 0 &&
        json_as_integer(json_object_find(run, "exit_code"), code) == 1 && code == 0) {
      int64_t finish = member_int(run, "finish");
      best = finish > best ? finish : best;
    }
  }
  return best;
}

}  // namespace

int metrics_write(std::span<const MetricsJob> jobs, std::string& out, std::span<char> err) {
  err_set(err, "%s", "");
  std::vector<JobSample> samples;
  samples.reserve(jobs.size());
  for (size_t i = 0; i < jobs.size(); ++i) {
    const JsonValue* job = jobs[i].job;
    const char* name = json_as_string(json_object_find(job, "name"));
    if (name == nullptr) {
      err_set(err, "job %zu has no name", i);
      return -1;
    }
    JobSample s;
    s.label = label_for(name);
    int enabled = 0;
    s.enabled = json_as_bool(json_object_find(job, "enabled"), enabled) == 1 && enabled != 0;
    const JsonValue* state = json_object_find(job, "state");
    s.last_run = member_int(state, "last_run");
    s.last_finish = member_int(state, "last_finish");
    s.next_run = member_int(state, "next_run");
    s.has_exit_code = json_as_integer(json_object_find(state, "last_exit_code"), s.exit_code) == 1;
    const char* status = json_as_string(json_object_find(state, "status"));
    s.running = status != nullptr && strcmp(status, "RUNNING") == 0;
    if (s.has_exit_code && s.exit_code == 0 && !s.running) {
      s.last_success = s.last_finish;
    }
    if (jobs[i].runs != nullptr) {
      int64_t from_runs = newest_success(jobs[i].runs);
      s.last_success = from_runs > s.last_success ? from_runs : s.last_success;
    }
    samples.push_back(std::move(s));
  }
  out.clear();
  char line[64];
  for (const Family& f : kFamilies) {
    out.append("# HELP ").append(f.name).append(" ").append(f.help).append("\n");
    out.append("# TYPE ").append(f.name).append(" gauge\n");
    for (const JobSample& s : samples) {
      if (f.value == &JobSample::exit_code && !s.has_exit_code) {
        continue;
      }
      int64_t v = f.value != nullptr ? s.*f.value : (s.*f.flag ? 1 : 0);
      snprintf(line, sizeof line, "} %" PRId64 "\n", v);
      out.append(f.name).append("{").append(s.label).append(line);
    }
  }
  return 0;
}

}  // namespace vrk
