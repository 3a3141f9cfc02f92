#include "client/metrics.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vrk {
namespace {

struct Doc {
  JsonValue* root = nullptr;
  explicit Doc(const std::string& text) {
    char err[kApiJsonErrSize];
    EXPECT_EQ(json_parse(text, 1 << 20, 16, 100000, root, err), 0) << err;
  }
  ~Doc() { json_value_free(root); }
};

// Two jobs as GET /api/v1/jobs lists them: one whose last run failed and that runs now, one
// that never ran and has a name needing escapes.
const char kJobs[] =
    "[{\"name\":\"nightly\",\"enabled\":true,\"state\":{\"status\":\"RUNNING\","
    "\"next_run\":1700090000,\"last_run\":1700000000,\"last_finish\":1700000600,"
    "\"last_exit_code\":null,\"run_requested\":false}},"
    "{\"name\":\"we\\\"ird\\\\\",\"enabled\":false,\"state\":null},"
    "{\"name\":\"ok\",\"enabled\":true,\"state\":{\"status\":\"DONE\",\"next_run\":null,"
    "\"last_run\":100,\"last_finish\":160,\"last_exit_code\":0}},"
    "{\"name\":\"bad\",\"enabled\":true,\"state\":{\"status\":\"FAILED\",\"next_run\":5,"
    "\"last_run\":200,\"last_finish\":260,\"last_exit_code\":3}}]";

TEST(MetricsWrite, WritesEveryFamilyForEveryJob) {
  Doc jobs(kJobs);
  // nightly's runs: the newest success is the one finished at 1699990000.
  Doc runs(
      "{\"job\":\"nightly\",\"runs\":[{\"id\":\"20231114T221320Z\",\"finished\":false,"
      "\"exit_code\":null,\"finish\":null},{\"id\":\"b\",\"finished\":true,\"exit_code\":1,"
      "\"finish\":1699995000},{\"id\":\"c\",\"finished\":true,\"exit_code\":0,"
      "\"finish\":1699990000},{\"id\":\"d\",\"finished\":true,\"exit_code\":0,"
      "\"finish\":1699900000}]}");
  std::vector<MetricsJob> in;
  for (size_t i = 0; i < json_array_length(jobs.root); ++i) {
    in.push_back({json_array_item(jobs.root, i), i == 0 ? runs.root : nullptr});
  }
  std::string out;
  char err[kMetricsErrSize];
  ASSERT_EQ(metrics_write(in, out, err), 0) << err;
  const std::string want =
      "# HELP vrk_sched_job_last_run_timestamp_seconds Start of the job's last run (Unix "
      "seconds, 0 if never).\n"
      "# TYPE vrk_sched_job_last_run_timestamp_seconds gauge\n"
      "vrk_sched_job_last_run_timestamp_seconds{job_name=\"nightly\"} 1700000000\n"
      "vrk_sched_job_last_run_timestamp_seconds{job_name=\"we\\\"ird\\\\\"} 0\n"
      "vrk_sched_job_last_run_timestamp_seconds{job_name=\"ok\"} 100\n"
      "vrk_sched_job_last_run_timestamp_seconds{job_name=\"bad\"} 200\n"
      "# HELP vrk_sched_job_last_finish_timestamp_seconds End of the job's last run (Unix "
      "seconds, 0 if never).\n"
      "# TYPE vrk_sched_job_last_finish_timestamp_seconds gauge\n"
      "vrk_sched_job_last_finish_timestamp_seconds{job_name=\"nightly\"} 1700000600\n"
      "vrk_sched_job_last_finish_timestamp_seconds{job_name=\"we\\\"ird\\\\\"} 0\n"
      "vrk_sched_job_last_finish_timestamp_seconds{job_name=\"ok\"} 160\n"
      "vrk_sched_job_last_finish_timestamp_seconds{job_name=\"bad\"} 260\n"
      "# HELP vrk_sched_job_last_success_timestamp_seconds End of the job's last successful "
      "run (Unix seconds, 0 if none is known).\n"
      "# TYPE vrk_sched_job_last_success_timestamp_seconds gauge\n"
      "vrk_sched_job_last_success_timestamp_seconds{job_name=\"nightly\"} 1699990000\n"
      "vrk_sched_job_last_success_timestamp_seconds{job_name=\"we\\\"ird\\\\\"} 0\n"
      "vrk_sched_job_last_success_timestamp_seconds{job_name=\"ok\"} 160\n"
      "vrk_sched_job_last_success_timestamp_seconds{job_name=\"bad\"} 0\n"
      "# HELP vrk_sched_job_last_exit_code Exit code of the job's last finished run.\n"
      "# TYPE vrk_sched_job_last_exit_code gauge\n"
      "vrk_sched_job_last_exit_code{job_name=\"ok\"} 0\n"
      "vrk_sched_job_last_exit_code{job_name=\"bad\"} 3\n"
      "# HELP vrk_sched_job_next_run_timestamp_seconds Next scheduled start of the job (Unix "
      "seconds, 0 if none).\n"
      "# TYPE vrk_sched_job_next_run_timestamp_seconds gauge\n"
      "vrk_sched_job_next_run_timestamp_seconds{job_name=\"nightly\"} 1700090000\n"
      "vrk_sched_job_next_run_timestamp_seconds{job_name=\"we\\\"ird\\\\\"} 0\n"
      "vrk_sched_job_next_run_timestamp_seconds{job_name=\"ok\"} 0\n"
      "vrk_sched_job_next_run_timestamp_seconds{job_name=\"bad\"} 5\n"
      "# HELP vrk_sched_job_running 1 while the job runs.\n"
      "# TYPE vrk_sched_job_running gauge\n"
      "vrk_sched_job_running{job_name=\"nightly\"} 1\n"
      "vrk_sched_job_running{job_name=\"we\\\"ird\\\\\"} 0\n"
      "vrk_sched_job_running{job_name=\"ok\"} 0\n"
      "vrk_sched_job_running{job_name=\"bad\"} 0\n"
      "# HELP vrk_sched_job_enabled 1 when the job is enabled in the configuration.\n"
      "# TYPE vrk_sched_job_enabled gauge\n"
      "vrk_sched_job_enabled{job_name=\"nightly\"} 1\n"
      "vrk_sched_job_enabled{job_name=\"we\\\"ird\\\\\"} 0\n"
      "vrk_sched_job_enabled{job_name=\"ok\"} 1\n"
      "vrk_sched_job_enabled{job_name=\"bad\"} 1\n";
  EXPECT_EQ(out, want);
}

TEST(MetricsWrite, RefusesAJobWithoutName) {
  Doc jobs("[{\"name\":\"a\"},{\"name\":7}]");
  std::vector<MetricsJob> in = {{json_array_item(jobs.root, 0), nullptr},
                                {json_array_item(jobs.root, 1), nullptr}};
  std::string out = "kept";
  char err[kMetricsErrSize];
  EXPECT_EQ(metrics_write(in, out, err), -1);
  EXPECT_STREQ(err, "job 1 has no name");
  EXPECT_EQ(out, "kept");
  EXPECT_EQ(metrics_write({}, out, err), 0);
  EXPECT_EQ(out.find("{"), std::string::npos);
}

}  // namespace
}  // namespace vrk
