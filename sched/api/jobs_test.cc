#include "sched/api/jobs.h"

#include <string>

#include <gtest/gtest.h>

#include "sched/api/test_call.h"
#include "sched/queue.h"

namespace vrk {
namespace {

const char kJobs[] =
    "[mail]\nsmtp-host = mail.example.org\nfrom = backup@example.org\nto = admin@example.org\n"
    "[weekly]\ncommand = restore\nonce = 1772332200\n"
    "[nightly]\ncommand = agent\nprofile = files\nargs = --verbose\nschedule = 0 2 * * *\n"
    "after = weekly\nafter-mode = finished\nenabled = no\ntimeout-seconds = 3600\n"
    "notify = always\nrun-background = yes\nstart-background = no\nretention = 30d\n"
    "retention-class = gold\n";

const char kNightlyConfig[] =
    "{\"name\":\"nightly\",\"command\":\"agent\",\"profile\":\"files\",\"args\":\"--verbose\","
    "\"schedule\":\"0 2 * * *\",\"once\":null,\"once_unix\":null,\"after\":[\"weekly\"],"
    "\"after_mode\":\"finished\",\"enabled\":false,\"timeout_seconds\":3600,\"notify\":\"always\","
    "\"run_background\":true,\"start_background\":false,\"retention\":\"30d\","
    "\"retention_class\":\"gold\",\"api_allowed\":true,\"state\":";
const char kWeeklyConfig[] =
    "{\"name\":\"weekly\",\"command\":\"restore\",\"profile\":null,\"args\":null,"
    "\"schedule\":null,\"once\":\"1772332200\",\"once_unix\":1772332200,\"after\":[],"
    "\"after_mode\":null,\"enabled\":true,\"timeout_seconds\":0,\"notify\":\"inherit\","
    "\"run_background\":null,\"start_background\":null,\"retention\":null,"
    "\"retention_class\":null,\"api_allowed\":false,\"state\":";

class ApiJobsTest : public ApiCallTest {
 protected:
  std::string write_job(const char* name, const QueueState* view) {
    ApiRequest request;
    ApiCall call;
    api_call_init(call, state.get(), request, response);
    const JobConfig* job = config_find_job(*loaded, name);
    EXPECT_NE(job, nullptr);
    if (job == nullptr) {
      return "";
    }
    api_write_job(call, *job, view);
    return std::string(call.writer.buffer, call.writer.length);
  }

  // A configuration of n agent jobs "job-000" ... in file order.
  void configure_jobs(int n, const std::string& extra = "") {
    std::string text;
    for (int i = 0; i < n; ++i) {
      char name[16];
      snprintf(name, sizeof name, "job-%03d", i);
      text += std::string("[") + name + "]\ncommand = agent\nschedule = 0 2 * * *\n" + extra;
    }
    configure(text);
  }
};

TEST_F(ApiJobsTest, JobObjectWithoutQueueState) {
  configure(kJobs);
  EXPECT_EQ(write_job("nightly", nullptr), std::string(kNightlyConfig) + "null}");
  EXPECT_EQ(write_job("weekly", nullptr), std::string(kWeeklyConfig) + "null}");
  QueueState view;
  ASSERT_EQ(queue_append(view, queue_entry_make("other")), 0);
  EXPECT_EQ(write_job("weekly", &view), std::string(kWeeklyConfig) + "null}");
}

TEST_F(ApiJobsTest, JobObjectWithQueueState) {
  configure(kJobs);
  struct Case {
    const char* what;
    JobState state;
    int64_t next_run, last_run, last_finish;
    int32_t exit_code;
    const char* running_job;
    bool queued;
    const char* want;
  };
  const Case cases[] = {
      {"never ran", JobState::kPending, kQueueNever, 0, 0, -1, "", false,
       "{\"status\":\"PENDING\",\"next_run\":null,\"last_run\":null,\"last_finish\":null,"
       "\"last_exit_code\":null,\"run_requested\":false}"},
      {"done", JobState::kDone, 1800000000, 1700000000, 1700000060, 0, "", true,
       "{\"status\":\"DONE\",\"next_run\":1800000000,\"last_run\":1700000000,"
       "\"last_finish\":1700000060,\"last_exit_code\":0,\"run_requested\":true}"},
      {"failed at the limits", JobState::kFailed, kQueueNever - 1, 1, -5, 3, "", false,
       "{\"status\":\"FAILED\",\"next_run\":9223372036854775806,\"last_run\":1,"
       "\"last_finish\":null,\"last_exit_code\":3,\"run_requested\":false}"},
      {"the daemon runs it", JobState::kPending, 1800000000, 1700000000, 1700000060, 2, "weekly",
       false,
       "{\"status\":\"RUNNING\",\"next_run\":1800000000,\"last_run\":1700000000,"
       "\"last_finish\":1700000060,\"last_exit_code\":null,\"run_requested\":false}"},
      {"entry says RUNNING", JobState::kRunning, 0, 1700000000, 0, 0, "", false,
       "{\"status\":\"RUNNING\",\"next_run\":null,\"last_run\":1700000000,\"last_finish\":null,"
       "\"last_exit_code\":null,\"run_requested\":false}"},
      {"unknown state byte", static_cast<JobState>(9), 0, 0, 0, 0, "", false,
       "{\"status\":\"UNKNOWN\",\"next_run\":null,\"last_run\":null,\"last_finish\":null,"
       "\"last_exit_code\":null,\"run_requested\":false}"},
      {"disabled", JobState::kDisabled, kQueueNever, 1700000000, 1700000001, 75, "nightly", false,
       "{\"status\":\"DISABLED\",\"next_run\":null,\"last_run\":1700000000,"
       "\"last_finish\":1700000001,\"last_exit_code\":75,\"run_requested\":false}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QueueState view;
    QueueEntry e = queue_entry_make("weekly");
    e.state = c.state;
    e.next_run = c.next_run;
    e.last_run = c.last_run;
    e.last_finish = c.last_finish;
    e.exit_code = c.exit_code;
    ASSERT_EQ(queue_append(view, e), 0);
    text_copy_cut(state->running_job, c.running_job);
    state->run_queue_count = 0;
    if (c.queued) {
      text_copy_cut(state->run_queue[0].job, "other");
      text_copy_cut(state->run_queue[1].job, "weekly");
      state->run_queue_count = 2;
    }
    EXPECT_EQ(write_job("weekly", &view), std::string(kWeeklyConfig) + c.want + "}");
  }
}

TEST_F(ApiJobsTest, GetJobUsesTheQueueFileReconciled) {
  configure(kJobs);
  // The file wins over the in-memory copy; a job the file lacks gets a fresh entry.
  QueueEntry in_file = queue_entry_make("weekly");
  in_file.state = JobState::kFailed;
  in_file.last_run = 1700000000;
  in_file.exit_code = 4;
  QueueState file;
  text_copy_cut(file.path, text_view(queue.path));
  ASSERT_EQ(queue_append(file, in_file), 0);
  ASSERT_EQ(queue_save(file), 0);
  queue_free(file);
  QueueEntry in_memory = in_file;
  in_memory.state = JobState::kDone;
  ASSERT_EQ(queue_append(queue, in_memory), 0);
  std::string queue_bytes = test_read_file(queue.path);

  std::string body = answer("GET", "/api/v1/jobs/weekly", "", "", TokenRole::kRead);
  ASSERT_EQ(response.status, 200u) << body;
  EXPECT_NE(body.find("\"job\":{\"name\":\"weekly\","), std::string::npos) << body;
  EXPECT_NE(body.find("\"state\":{\"status\":\"FAILED\",\"next_run\":null,\"last_run\":1700000000,"
                      "\"last_finish\":null,\"last_exit_code\":4,"),
            std::string::npos)
      << body;
  body = answer("GET", "/api/v1/jobs/nightly", "", "", TokenRole::kRead);
  EXPECT_NE(body.find("\"state\":{\"status\":\"DISABLED\","), std::string::npos) << body;
  EXPECT_TRUE(test_read_file(queue.path) == queue_bytes);  // a display never writes the queue

  // No file: the daemon's in-memory entries.
  ASSERT_EQ(unlink(queue.path), 0);
  body = answer("GET", "/api/v1/jobs/weekly", "", "", TokenRole::kRead);
  EXPECT_NE(body.find("\"state\":{\"status\":\"DONE\","), std::string::npos) << body;
  EXPECT_EQ(access(queue.path, F_OK), -1);

  EXPECT_EQ(answer("GET", "/api/v1/jobs/nope"),
            test_error_body("not_found", "no job named 'nope'"));
}

TEST_F(ApiJobsTest, QueryIsCheckedBeforeTheFile) {
  configure_jobs(3);
  struct Case {
    const char* query;
    const char* want_message;
  };
  const char* kAllowed = "allowed query parameters: offset, limit (digits)";
  const Case cases[] = {
      {"limit=0", "limit must be 1..50"},
      {"limit=51", "limit must be 1..50"},
      {"limit=000000000051", "limit must be 1..50"},
      {"offset=1&offset=2", kAllowed},
      {"limit=1&limit=1", kAllowed},
      {"offset=-1", kAllowed},
      {"offset=", kAllowed},
      {"offset", kAllowed},
      {"=5", kAllowed},
      {"page=1", kAllowed},
      {"offset=1000000000000", kAllowed},
      {"offset=+1", kAllowed},
      {"offset=1=2", kAllowed},
      {"Offset=1", kAllowed},
      {"limit=0&page=1", kAllowed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    EXPECT_EQ(answer("GET", "/api/v1/jobs", c.query, "", TokenRole::kRead),
              test_error_body("bad_query", c.want_message));
  }
  const char* good[] = {"", "&&", "offset=999999999999", "limit=50&offset=0", "&limit=1&"};
  for (const char* q : good) {
    SCOPED_TRACE(q);
    answer("GET", "/api/v1/jobs", q, "", TokenRole::kRead);
    EXPECT_EQ(response.status, 200u);
  }
  std::string body = answer("GET", "/api/v1/jobs", "offset=1000", "", TokenRole::kRead);
  EXPECT_NE(body.find(",\"total\":3,\"offset\":1000,\"jobs\":[],\"next_offset\":null}"),
            std::string::npos)
      << body;
}

// The names of the jobs in a page, in order.
std::vector<std::string> page_names(const std::string& body) {
  std::vector<std::string> names;
  size_t at = 0;
  while ((at = body.find("{\"name\":\"", at)) != std::string::npos) {
    at += 9;
    names.push_back(body.substr(at, body.find('"', at) - at));
  }
  return names;
}

TEST_F(ApiJobsTest, PagesOf120Jobs) {
  configure_jobs(120);
  struct Case {
    const char* query;
    int first, count;
    const char* want_tail;
  };
  const Case cases[] = {
      {"", 0, 50, "],\"next_offset\":50}"},
      {"offset=50", 50, 50, "],\"next_offset\":100}"},
      {"offset=100", 100, 20, "],\"next_offset\":null}"},
      {"offset=119&limit=1", 119, 1, "],\"next_offset\":null}"},
      {"limit=7&offset=3", 3, 7, "],\"next_offset\":10}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    std::string body = answer("GET", "/api/v1/jobs", c.query, "", TokenRole::kRead);
    ASSERT_EQ(response.status, 200u) << body.substr(0, 200);
    EXPECT_NE(body.find(",\"total\":120,\"offset\":" + std::to_string(c.first) + ",\"jobs\":[{"),
              std::string::npos);
    std::vector<std::string> names = page_names(body);
    ASSERT_EQ(names.size(), static_cast<size_t>(c.count));
    char want[16];
    snprintf(want, sizeof want, "job-%03d", c.first);
    EXPECT_EQ(names.front(), want);
    snprintf(want, sizeof want, "job-%03d", c.first + c.count - 1);
    EXPECT_EQ(names.back(), want);
    EXPECT_EQ(body.substr(body.size() - strlen(c.want_tail)), c.want_tail);
  }
}

TEST_F(ApiJobsTest, PageEndsEarlyInsideTheResponseBuffer) {
  // About 1.3 KB per job: 50 of them would not fit into 61440 bytes.
  configure_jobs(60, "args = --comment=" + std::string(1000, 'c') + "\n");
  std::string body = answer("GET", "/api/v1/jobs", "", "", TokenRole::kRead);
  ASSERT_EQ(response.status, 200u) << body.substr(0, 300);
  ASSERT_LE(body.size(), kApiResponseSize - 1);
  std::vector<std::string> names = page_names(body);
  ASSERT_GT(names.size(), 20u);
  ASSERT_LT(names.size(), 50u);
  // The page is whole JSON and the next page starts with the first job left out.
  std::string tail = "],\"next_offset\":" + std::to_string(names.size()) + "}";
  EXPECT_EQ(body.substr(body.size() - tail.size()), tail);
  EXPECT_EQ(body.find("}{"), std::string::npos);
  body =
      answer("GET", "/api/v1/jobs", "offset=" + std::to_string(names.size()), "", TokenRole::kRead);
  ASSERT_EQ(response.status, 200u);
  char want[16];
  snprintf(want, sizeof want, "job-%03zu", names.size());
  EXPECT_EQ(page_names(body).front(), want);
}

}  // namespace
}  // namespace vrk
