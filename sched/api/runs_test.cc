#include "sched/api/runs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_stderr.h"
#include "sched/api/json_reader.h"
#include "sched/api/test_call.h"

namespace vrk {
namespace {

// a, b and c run the agent (allowed through the API by default), r restores (not allowed).
const char kJobs[] =
    "[a]\ncommand = agent\nenabled = no\n[b]\ncommand = agent\nenabled = no\n"
    "[c]\ncommand = agent\nenabled = no\n[r]\ncommand = restore\nenabled = no\n";

class ApiRunsTest : public ApiCallTest {
 protected:
  void SetUp() override {
    ApiCallTest::SetUp();
    log_init("vrk_sched", kLogInfo);
    configure(kJobs);
  }

  std::string post(const std::string& what) { return answer("POST", "/api/v1/jobs/" + what); }

  std::string log_path(const char* job, const std::string& id) {
    return dir + "/" + job + "/" + id + ".log";
  }

  void write_log(const char* job, const std::string& id, const std::string& text) {
    mkdir((dir + "/" + job).c_str(), 0755);
    ASSERT_TRUE(test_write_file(log_path(job, id), text));
  }

  std::string read_log(const std::string& query) {
    return answer("GET", "/api/v1/jobs/a/runs/20250101T020000Z/log", query);
  }
};

std::string queued(bool already, int position, const char* running = nullptr) {
  return std::string("{\"queued\":true,\"already_queued\":") + (already ? "true" : "false") +
         ",\"position\":" + std::to_string(position) + ",\"running_job\":" +
         (running ? std::string("\"") + running + "\"" : std::string("null")) + "}";
}

size_t count_of(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++n;
  }
  return n;
}

TEST_F(ApiRunsTest, QueueingTwiceKeepsThePlace) {
  StderrCapture capture;
  EXPECT_EQ(post("a/run"), queued(false, 1));
  EXPECT_EQ(response.status, 202u);
  EXPECT_EQ(post("b/run"), queued(false, 2));
  EXPECT_EQ(post("a/run"), queued(true, 1));
  EXPECT_EQ(response.status, 202u);
  ASSERT_EQ(state->run_queue_count, 2u);
  EXPECT_STREQ(state->run_queue[0].job, "a");
  EXPECT_STREQ(state->run_queue[0].token, "tester");
  const std::string log = capture.text();
  EXPECT_EQ(count_of(log,
                     "INFO  vrk_sched API: token 'tester' from 192.0.2.1 queued a run of "
                     "job 'a'\n"),
            1u);
  EXPECT_EQ(count_of(log, "queued a run of job 'b'"), 1u);
}

TEST_F(ApiRunsTest, The33rdJobFindsTheQueueFull) {
  std::string text;
  for (int i = 0; i < kApiRunQueueMax + 1; ++i) {
    text += "[job-" + std::to_string(i) + "]\ncommand = agent\nenabled = no\n";
  }
  configure(text);
  for (int i = 0; i < kApiRunQueueMax; ++i) {
    EXPECT_EQ(post("job-" + std::to_string(i) + "/run"), queued(false, i + 1));
  }
  EXPECT_EQ(post("job-32/run"), test_error_body("run_queue_full", "too many queued runs"));
  EXPECT_EQ(response.status, 503u);
  // A job already in the full queue is still reported where it is.
  EXPECT_EQ(post("job-5/run"), queued(true, 6));
  EXPECT_EQ(state->run_queue_count, static_cast<uint64_t>(kApiRunQueueMax));
}

TEST_F(ApiRunsTest, QueueRefusals) {
  text_copy_cut(state->running_job, "a");
  struct Case {
    const char* job;
    uint32_t status;
    const char* code;
    const char* message;
  } cases[] = {
      {"nothing", 404, "not_found", "no job named 'nothing'"},
      {"r", 403, "command_not_allowed",
       "jobs with command 'restore' may not be started through "
       "the API"},
      {"a", 409, "job_running", "job 'a' is already running"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.job);
    EXPECT_EQ(post(std::string(c.job) + "/run"), test_error_body(c.code, c.message));
    EXPECT_EQ(response.status, c.status);
  }
  EXPECT_EQ(state->run_queue_count, 0u);
  EXPECT_EQ(post("b/run"), queued(false, 1, "a"));
  unlink(config_path.c_str());
  EXPECT_EQ(post("c/run").find("{\"error\":{\"code\":\"config_unreadable\""), 0u);
  EXPECT_EQ(response.status, 500u);
}

TEST_F(ApiRunsTest, CancelOfTheRunningJobAsksOnce) {
  text_copy_cut(state->running_job, "a");
  StderrCapture capture;
  EXPECT_EQ(post("a/cancel"), "{\"cancelled\":\"stop_requested\"}");
  EXPECT_EQ(response.status, 202u);
  EXPECT_EQ(state->cancel_requested, 1u);
  EXPECT_STREQ(state->cancel_requested_by, "tester");
  // A second request changes nothing: the first one names who stopped the job.
  text_copy_cut(state->cancel_requested_by, "first");
  EXPECT_EQ(post("a/cancel"), "{\"cancelled\":\"stop_requested\"}");
  EXPECT_EQ(response.status, 202u);
  EXPECT_STREQ(state->cancel_requested_by, "first");
  EXPECT_EQ(count_of(capture.text(),
                     "WARN  vrk_sched API: token 'tester' from 192.0.2.1 cancels "
                     "running job 'a'\n"),
            1u);

  text_copy_cut(state->running_job, "r");
  state->cancel_requested = 0;
  EXPECT_EQ(post("r/cancel"),
            test_error_body("command_not_allowed",
                            "jobs with command 'restore' may not be cancelled through the API"));
  EXPECT_EQ(response.status, 403u);
  EXPECT_EQ(state->cancel_requested, 0u);
}

TEST_F(ApiRunsTest, CancelOfAQueuedRunMovesTheOthersUp) {
  ASSERT_EQ(post("a/run"), queued(false, 1));
  ASSERT_EQ(post("b/run"), queued(false, 2));
  ASSERT_EQ(post("c/run"), queued(false, 3));
  StderrCapture capture;
  EXPECT_EQ(post("b/cancel"), "{\"cancelled\":\"queued_run_removed\"}");
  EXPECT_EQ(response.status, 200u);
  EXPECT_NE(capture.text().find("INFO  vrk_sched API: token 'tester' from 192.0.2.1 removed the "
                                "queued run of job 'b'\n"),
            std::string::npos);
  EXPECT_EQ(post("c/run"), queued(true, 2));
  EXPECT_EQ(post("a/run"), queued(true, 1));
  EXPECT_EQ(state->run_queue_count, 2u);
  EXPECT_EQ(state->run_queue[2].job[0], '\0');

  for (const char* idle : {"b", "nothing"}) {
    SCOPED_TRACE(idle);
    EXPECT_EQ(post(std::string(idle) + "/cancel"),
              test_error_body("not_running", std::string("job '") + idle + "' is not running"));
    EXPECT_EQ(response.status, 409u);
  }
}

// The "id" values of a listing, in order.
std::vector<std::string> listed_ids(const std::string& body) {
  std::vector<std::string> ids;
  const std::string key = "\"id\":\"";
  for (size_t at = body.find(key); at != std::string::npos; at = body.find(key, at + 1)) {
    ids.push_back(body.substr(at + key.size(), kApiRunIdLength));
  }
  return ids;
}

std::string run_id_at(int minutes) {
  char id[32];
  const time_t t = 1735696800 + static_cast<time_t>(minutes) * 60;  // 2025-01-01 02:00 UTC
  struct tm tm = {};
  gmtime_r(&t, &tm);
  strftime(id, sizeof id, "%Y%m%dT%H%M%SZ", &tm);
  return id;
}

TEST_F(ApiRunsTest, ListsTheNewestHundredOfSixHundred) {
  const std::string jobdir = dir + "/a";
  ASSERT_EQ(mkdir(jobdir.c_str(), 0755), 0);
  // Created oldest last, so no directory order can hand out the newest first by chance.
  for (int i = 599; i >= 0; --i) {
    ASSERT_TRUE(test_write_file(jobdir + "/" + run_id_at(i) + ".log", "x"));
  }
  // Names that are not runs, even where they would sort newest.
  for (const char* other :
       {"2099123T235959Z.log", "20991231T235959Z.txt", "20991231T23a959Z.log", "20991231T235959Z",
        "20991231T235959Z.log.tmp", "20991231X235959Z.log"}) {
    ASSERT_TRUE(test_write_file(jobdir + "/" + other, "x"));
  }
  const std::string body = answer("GET", "/api/v1/jobs/a/runs");
  EXPECT_EQ(response.status, 200u);
  EXPECT_EQ(body.rfind("{\"job\":\"a\",\"runs\":[{\"id\":\"" + run_id_at(599) + "\"", 0), 0u);
  std::vector<std::string> ids = listed_ids(body);
  ASSERT_EQ(ids.size(), kApiRunsListed);
  for (size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(ids[i], run_id_at(599 - static_cast<int>(i)));
  }
}

TEST_F(ApiRunsTest, RunObjects) {
  const std::string finished =
      "job: a\nargv: vrk_agent\nstart_unix: 1735696800\n\n--- output ---\nbye\n"
      "\n--- end ---\nfinish_unix: 1735696860\nexit_code: -1\ntimed_out: 0\ncancelled: 1\n"
      "cancelled_by: API token ops\n";
  write_log("a", "20250101T020000Z", finished);
  write_log("a", "20250101T030000Z", "job: a\nargv: vrk_agent\nstart_unix: 1735700400\n\n");
  // Named like runs but no regular files: skipped, yet counted among the newest. A FIFO must not
  // keep the daemon waiting for a writer.
  ASSERT_EQ(mkdir(log_path("a", "20250101T040000Z").c_str(), 0755), 0);
  ASSERT_EQ(
      symlink(log_path("a", "20250101T020000Z").c_str(), log_path("a", "20250101T050000Z").c_str()),
      0);
  ASSERT_EQ(mkfifo(log_path("a", "20250101T060000Z").c_str(), 0644), 0);
  EXPECT_EQ(answer("GET", "/api/v1/jobs/a/runs"),
            "{\"job\":\"a\",\"runs\":["
            "{\"id\":\"20250101T030000Z\",\"start\":1735700400,\"finished\":false,\"finish\":null,"
            "\"exit_code\":null,\"timed_out\":false,\"cancelled\":false,\"size\":47},"
            "{\"id\":\"20250101T020000Z\",\"start\":1735696800,\"finished\":true,"
            "\"finish\":1735696860,\"exit_code\":-1,\"timed_out\":false,\"cancelled\":true,"
            "\"size\":" +
                std::to_string(finished.size()) + "}]}");
  EXPECT_EQ(answer("GET", "/api/v1/jobs/b/runs"), "{\"job\":\"b\",\"runs\":[]}");
  EXPECT_EQ(answer("GET", "/api/v1/jobs/nothing/runs"),
            test_error_body("not_found", "no job named 'nothing'"));
}

TEST_F(ApiRunsTest, LogRequestRefusals) {
  write_log("a", "20250101T020000Z", "hello\n");
  ASSERT_EQ(
      symlink(log_path("a", "20250101T020000Z").c_str(), log_path("a", "20250101T030000Z").c_str()),
      0);
  ASSERT_EQ(mkfifo(log_path("a", "20250101T040000Z").c_str(), 0644), 0);
  const char kQueryHelp[] = "allowed query parameters: offset, length (digits)";
  struct Case {
    const char* job;
    const char* run;
    const char* query;
    const char* code;
    const char* message;
  } cases[] = {
      {"a", "20250101T020000Z", "length=0", "bad_query", "length must be 1..49152"},
      {"a", "20250101T020000Z", "length=49153", "bad_query", "length must be 1..49152"},
      {"a", "20250101T020000Z", "offset=x", "bad_query", kQueryHelp},
      {"a", "20250101T020000Z", "offset=1&offset=2", "bad_query", kQueryHelp},
      {"a", "20250101T020000Z", "limit=5", "bad_query", kQueryHelp},
      {"a", "20250101T020000Z", "=5", "bad_query", kQueryHelp},
      {"a", "20250101T020000Z", "offset=", "bad_query", kQueryHelp},
      {"a", "20250101T020000Z", "offset", "bad_query", kQueryHelp},
      {"a", "20250101T020000Z", "offset=1234567890123", "bad_query", kQueryHelp},
      {"a", "20250101T020000Z", "offset=-1", "bad_query", kQueryHelp},
      // The query is looked at before the run.
      {"a", "2025", "length=0", "bad_query", "length must be 1..49152"},
      {"a", "2025", "", "not_found", "no such run"},
      {"a", "20250101T02000aZ", "", "not_found", "no such run"},
      {"a", "20250101T010000Z", "", "not_found", "no such run"},
      {"a", "20250101T030000Z", "", "not_found", "no such run"},
      {"a", "20250101T040000Z", "", "not_found", "no such run"},
      {"nothing", "20250101T020000Z", "", "not_found", "no job named 'nothing'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.run) + "?" + c.query);
    EXPECT_EQ(
        answer("GET", std::string("/api/v1/jobs/") + c.job + "/runs/" + c.run + "/log", c.query),
        test_error_body(c.code, c.message));
  }
  // Empty parts are skipped, and numbers of 12 digits are taken.
  EXPECT_EQ(read_log("&offset=999999999999&&length=49152&"),
            "{\"id\":\"20250101T020000Z\",\"offset\":999999999999,\"size\":6,\"finished\":false,"
            "\"data\":\"\",\"length\":0,\"next_offset\":999999999999}");
}

TEST_F(ApiRunsTest, LogChunks) {
  // "ab", e-acute (2 bytes), "cd", the euro sign (3 bytes), and no footer yet.
  write_log("a", "20250101T020000Z",
            "ab\xc3\xa9"
            "cd\xe2\x82\xac");
  struct Case {
    const char* query;
    const char* data;
    int offset, length;
  } cases[] = {
      {"",
       "ab\xc3\xa9"
       "cd\xe2\x82\xac",
       0, 9},
      {"length=3", "ab", 0, 2},  // ends before the character it would cut
      {"offset=2&length=3",
       "\xc3\xa9"
       "c",
       2, 3},
      {"offset=2&length=1", "\xc3\xa9", 2, 2},  // the whole character, never an empty chunk
      {"offset=6&length=2", "\xe2\x82\xac", 6, 3},
      {"offset=3&length=1", "\\ufffd", 3, 1},  // starts inside a character
      {"offset=9", "", 9, 0},
      {"offset=50", "", 50, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    EXPECT_EQ(read_log(c.query),
              "{\"id\":\"20250101T020000Z\",\"offset\":" + std::to_string(c.offset) +
                  ",\"size\":9,\"finished\":false,\"data\":\"" + c.data +
                  "\",\"length\":" + std::to_string(c.length) +
                  ",\"next_offset\":" + std::to_string(c.offset + c.length) + "}");
    EXPECT_EQ(response.status, 200u);
  }
}

TEST_F(ApiRunsTest, ControlCharactersFillAChunkAtTheOutputLimit) {
  write_log("a", "20250101T020000Z", std::string(kApiLogChunkMax, '\x01'));
  const std::string body = read_log("");
  EXPECT_EQ(response.status, 200u);
  EXPECT_EQ(count_of(body, "\\u0001"), 10154u);
  EXPECT_NE(body.find("\",\"length\":10154,\"next_offset\":10154}"), std::string::npos);
}

// A client that follows a log chunk by chunk gets every byte once, in order, whatever the
// chunk size.
TEST_F(ApiRunsTest, FollowingALogGivesItBackWhole) {
  std::string text = "job: a\n\n--- output ---\n";
  for (int i = 0; i < 100; ++i) {
    text += "Grüße \xe2\x82\xac " + std::to_string(i) + " \xf0\x9f\x98\x80\t\"x\"\n";
  }
  text += "\n--- end ---\nfinish_unix: 1\nexit_code: 0\ntimed_out: 0\n";
  write_log("a", "20250101T020000Z", text);
  for (int length : {1, 3, 5, 4096, 49152}) {
    SCOPED_TRACE(length);
    std::string got;
    int64_t offset = 0;
    bool finished = false;
    for (int guard = 0; guard < 100000; ++guard) {
      const std::string body =
          read_log("offset=" + std::to_string(offset) + "&length=" + std::to_string(length));
      JsonValue* root = nullptr;
      char err[kApiJsonErrSize];
      ASSERT_EQ(json_parse(body, body.size(), 4, 64, root, err), 0) << err;
      int64_t next = 0, size = 0;
      int done = 0;
      ASSERT_EQ(json_as_integer(json_object_find(root, "next_offset"), next), 1);
      ASSERT_EQ(json_as_integer(json_object_find(root, "size"), size), 1);
      ASSERT_EQ(json_as_bool(json_object_find(root, "finished"), done), 1);
      got += json_as_string(json_object_find(root, "data"));
      json_value_free(root);
      finished = done != 0;
      if (next == offset) {
        break;
      }
      offset = next;
    }
    EXPECT_TRUE(finished);
    EXPECT_EQ(offset, static_cast<int64_t>(text.size()));
    EXPECT_EQ(got, text);
  }
}

TEST(ApiLogChunkLength, EndsOnCharacterBoundaries) {
  struct Case {
    const char* what;
    std::string read;
    size_t length;
    uint64_t rest;
    bool finished;
    size_t want;
  } cases[] = {
      {"nothing read", "", 10, 0, false, 0},
      {"ascii", "abcd", 3, 10, false, 3},
      {"cut 2-byte", "a\xc3\xa9", 2, 10, false, 1},
      {"cut 3-byte after 2", "a\xe2\x82\xac", 3, 10, false, 1},
      {"cut 4-byte after 3", "a\xf0\x9f\x98\x80", 4, 10, false, 1},
      {"whole 4-byte", "a\xf0\x9f\x98\x80", 5, 10, false, 5},
      {"length below the character", "\xf0\x9f\x98\x80", 1, 10, false, 4},
      {"invalid lead goes alone", "\xc0\x41xy", 1, 10, false, 1},
      {"stray continuations stay", "\x80\x80\x80\x80", 2, 10, false, 2},
      {"end of a growing log waits", "a\xe2\x82", 3, 3, false, 1},
      {"only a character in the making", "\xe2\x82", 1, 2, false, 0},
      {"end of a finished log is final", "a\xe2\x82", 3, 3, true, 3},
      {"invalid at the end of a finished log", "\xe2\x82", 1, 2, true, 1},
      // Read after the size was taken: a run of the same second went on writing.
      {"nothing past the size of a finished log", "ab\xe2\x82", 4, 2, true, 2},
      {"nothing past the size of a growing log", "ab\xe2\x82\xac", 5, 2, false, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::span<const unsigned char> read(reinterpret_cast<const unsigned char*>(c.read.data()),
                                        c.read.size());
    EXPECT_EQ(api_log_chunk_length(read, c.length, c.rest, c.finished), c.want);
  }
}

}  // namespace
}  // namespace vrk
