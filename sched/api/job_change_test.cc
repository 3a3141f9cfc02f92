#include "sched/api/job_change.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_stderr.h"
#include "sched/api/apply_change.h"
#include "sched/api/test_call.h"
#include "sched/config_write.h"
#include "sched/notify.h"

namespace vrk {
namespace {

const std::string kBase =
    "# backups of the file server\n"
    "[sched]\n"
    "poll-interval = 30   # seconds\n"
    "\n"
    "[files]\n"
    "command = agent    # the file server\n"
    "profile = files\n"
    "schedule = 0 2 * * *\n"
    "\n"
    "[verify-files]\n"
    "command = verify\n"
    "after = files\n";
constexpr int kBaseLines = 12;

const std::string kMail =
    "[mail]\nsmtp-host = mail.example.org\nsmtp-user = backup\nsmtp-password = \"s3cret pw\"\n"
    "from = backup@example.org\nto = admin@example.org\n";

const char kNightly[] = R"({"command":"agent","schedule":"0 3 * * *"})";

struct FakeMail {
  int calls = 0;
  std::string subject;
  std::string body;
};

uint32_t fake_hand_over(void* context, const char* subject, const char* body) {
  FakeMail& mail = *static_cast<FakeMail*>(context);
  ++mail.calls;
  mail.subject = subject;
  mail.body = body;
  return 7;
}

std::string error_body(const char* code, const std::string& message) {
  return test_error_body(code, message);
}

class ApiJobChangeTest : public ApiCallTest {
 protected:
  // One call through the router with an If-Match header (empty: none).
  std::string send(const char* method, const std::string& path, const std::string& body,
                   const std::string& if_match, TokenRole role = TokenRole::kAdmin) {
    return answer_if_match(method, path, "", body, if_match, role);
  }

  std::string put(const std::string& name, const std::string& body, const std::string& if_match,
                  TokenRole role = TokenRole::kAdmin) {
    return send("PUT", "/api/v1/jobs/" + name, body, if_match, role);
  }

  std::string del(const std::string& name, const std::string& if_match,
                  TokenRole role = TokenRole::kAdmin, const std::string& body = "") {
    return send("DELETE", "/api/v1/jobs/" + name, body, if_match, role);
  }

  std::string validate(const std::string& body, TokenRole role = TokenRole::kRead) {
    return send("POST", "/api/v1/validate/job", body, "", role);
  }

  // The ETag as a JSON string.
  std::string json_etag() {
    std::string tag = etag();
    return "\"\\\"" + tag.substr(1, tag.size() - 2) + "\\\"\"";
  }

  // A new file for the daemon and the API, no change made yet.
  void fresh(const std::string& text) {
    configure(text);
    state->config_changed = 0;
    std::string cmd = std::string("rm -rf '") + state->history_dir + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }

  // The history copies' contents, oldest first.
  std::vector<std::string> history() {
    std::vector<std::string> texts;
    for (const std::string& path : history_paths()) {
      texts.push_back(test_read_file(path));
    }
    return texts;
  }

  // The file, the daemon's flag and the history are as before a refused change.
  void expect_untouched(const std::string& text) {
    EXPECT_EQ(test_read_file(config_path), text);
    EXPECT_EQ(state->config_changed, 0u);
    EXPECT_TRUE(history().empty());
    std::string left = test_read_file(config_path + ".api-tmp." + std::to_string(getpid()));
    EXPECT_TRUE(left.empty());
  }
};

TEST_F(ApiJobChangeTest, PutCreatesThenReplaces) {
  configure(kBase);
  const std::string first = etag();
  std::string body = put("nightly", kNightly, first);
  ASSERT_EQ(response.status, 201u) << body;
  const std::string created = kBase + "\n[nightly]\ncommand=agent\nschedule=0 3 * * *\n";
  EXPECT_EQ(test_read_file(config_path), created);
  const std::string second = etag();
  EXPECT_EQ(body.substr(0, body.find("\"state\":")),
            "{\"config_etag\":" + json_etag() +
                ",\"created\":true,\"job\":{\"name\":\"nightly\",\"command\":\"agent\","
                "\"profile\":null,\"args\":null,\"schedule\":\"0 3 * * *\",\"once\":null,"
                "\"once_unix\":null,\"after\":[],\"after_mode\":null,\"enabled\":true,"
                "\"timeout_seconds\":0,\"notify\":\"inherit\",\"run_background\":null,"
                "\"start_background\":null,\"retention\":null,\"retention_class\":null,"
                "\"api_allowed\":true,");
  EXPECT_NE(body.find("\"state\":{\"status\":\"PENDING\""), std::string::npos) << body;
  EXPECT_EQ(state->config_changed, 1u);
  EXPECT_EQ(history(), std::vector<std::string>{kBase});

  state->config_changed = 0;
  body = put("nightly", kNightly, second);
  ASSERT_EQ(response.status, 200u) << body;
  const std::string replaced = "{\"config_etag\":" + json_etag() + ",\"created\":false,\"job\":{";
  EXPECT_EQ(body.substr(0, replaced.size()), replaced);
  EXPECT_EQ(test_read_file(config_path), created);
  EXPECT_EQ(state->config_changed, 1u);
  EXPECT_EQ(history(), (std::vector<std::string>{kBase, created}));

  EXPECT_EQ(put("nightly", kNightly, first),
            error_body("precondition_failed",
                       "the configuration was changed in the meantime: reload it and retry"));
  EXPECT_EQ(response.status, 412u);
  EXPECT_EQ(put("nightly", kNightly, ""),
            error_body("precondition_required",
                       "If-Match with the current config_etag is required for changes"));
  EXPECT_EQ(response.status, 428u);
  // The ETag is compared with its quotes.
  put("nightly", kNightly, second.substr(1, 64));
  EXPECT_EQ(response.status, 412u);
}

TEST_F(ApiJobChangeTest, PutRefusalsInCheckingOrder) {
  enum IfMatch { kNone, kCurrent, kStale };
  struct Case {
    const char* what;
    std::string config_extra;
    std::string name;
    std::string body;
    IfMatch if_match;
    TokenRole role;
    uint32_t status;
    std::string want;
  };
  const std::string long_name(65, 'a');
  const std::string long_entry(128, 'b');
  std::string seventeen = "[";
  for (int i = 0; i < 17; ++i) {
    seventeen += std::string(i ? "," : "") + "\"j" + std::to_string(i) + "\"";
  }
  seventeen += "]";
  std::string sixteen_long = "[";
  for (int i = 0; i < 16; ++i) {
    sixteen_long += std::string(i ? "," : "") + "\"" + std::string(120, 'a' + i) + "\"";
  }
  sixteen_long += "]";
  auto text_rule = [](const char* field, int max) {
    return std::string("'") + field + "' must be 1.." + std::to_string(max) +
           " characters without control characters or leading/trailing spaces";
  };
  const std::string agent = R"("command":"agent","schedule":"0 3 * * *")";
  const Case cases[] = {
      {"read token", "", "n", "nonsense", kNone, TokenRole::kRead, 403,
       error_body("forbidden", "this needs an admin token")},
      {"writes disabled", "[api]\nallow-config-write = no\n", "n", "nonsense", kNone,
       TokenRole::kAdmin, 403,
       error_body("config_write_disabled",
                  "configuration changes through the API are disabled ([api] "
                  "allow-config-write=no)")},
      {"no body", "", "n", "", kNone, TokenRole::kAdmin, 400,
       error_body("invalid_json", "a JSON body is required")},
      {"not an object", "", "n", "[]", kNone, TokenRole::kAdmin, 400,
       error_body("invalid_json", "the body must be a JSON object")},
      {"name is no PUT field", "", "n", R"({"command":"agent","name":"n"})", kNone,
       TokenRole::kAdmin, 400, error_body("unknown_field", "unknown field 'name'")},
      {"If-Match before the members", "", "n", R"({"command":"nope"})", kNone, TokenRole::kAdmin,
       428,
       error_body("precondition_required",
                  "If-Match with the current config_etag is required for changes")},
      {"stale If-Match", "", "n", R"({"command":"nope"})", kStale, TokenRole::kAdmin, 412,
       error_body("precondition_failed",
                  "the configuration was changed in the meantime: reload it and retry")},
      {"command missing", "", "n", "{}", kCurrent, TokenRole::kAdmin, 400,
       error_body("invalid_value", "'command' is required")},
      {"command null", "", "n", R"({"command":null})", kCurrent, TokenRole::kAdmin, 400,
       error_body("invalid_value", "'command' is required")},
      {"command empty", "", "n", R"({"command":""})", kCurrent, TokenRole::kAdmin, 400,
       error_body("invalid_value", text_rule("command", 63))},
      {"unknown command first", "", "n", R"({"command":"nope","profile":5})", kCurrent,
       TokenRole::kAdmin, 400, error_body("invalid_value", "unknown command 'nope'")},
      {"profile type", "", "n", R"({"command":"agent","profile":5})", kCurrent, TokenRole::kAdmin,
       400, error_body("invalid_value", "'profile' must be a string or null")},
      {"args leading blank", "", "n", R"({"command":"agent","args":" -v"})", kCurrent,
       TokenRole::kAdmin, 400, error_body("invalid_value", text_rule("args", 1023))},
      {"once too long", "", "n", R"({"command":"agent","once":")" + std::string(64, '1') + "\"}",
       kCurrent, TokenRole::kAdmin, 400, error_body("invalid_value", text_rule("once", 63))},
      {"after_mode", "", "n", R"({"command":"agent","after_mode":"always"})", kCurrent,
       TokenRole::kAdmin, 400,
       error_body("invalid_value",
                  "'after_mode' must be \\\"success\\\", \\\"finished\\\" or null")},
      {"notify before enabled", "", "n",
       R"({"command":"agent","enabled":"x","notify":"sometimes"})", kCurrent, TokenRole::kAdmin,
       400, error_body("invalid_value", "'notify' must be inherit, never, failed or always")},
      {"retention", "", "n", R"({"command":"agent","retention":"101y","after":7})", kCurrent,
       TokenRole::kAdmin, 400,
       error_body("invalid_value",
                  "'retention' must be <n>d, <n>w, <n>m, <n>y (n >= 1, at most 100 years), "
                  "\\\"forever\\\" or null")},
      {"retention_class", "", "n", R"({"command":"agent","retention_class":"Gold"})", kCurrent,
       TokenRole::kAdmin, 400,
       error_body("invalid_value", "'retention_class' may only contain a-z, 0-9, '_' and '-'")},
      {"enabled", "", "n", R"({"command":"agent","enabled":"yes","run_background":1})", kCurrent,
       TokenRole::kAdmin, 400, error_body("invalid_value", "'enabled' must be true or false")},
      {"run_background", "", "n", R"({"command":"agent","run_background":1})", kCurrent,
       TokenRole::kAdmin, 400,
       error_body("invalid_value", "'run_background' must be true, false or null")},
      {"start_background", "", "n", R"({"command":"agent","start_background":"no"})", kCurrent,
       TokenRole::kAdmin, 400,
       error_body("invalid_value", "'start_background' must be true, false or null")},
      {"timeout above", "", "n", R"({"command":"agent","timeout_seconds":10000001})", kCurrent,
       TokenRole::kAdmin, 400,
       error_body("invalid_value", "'timeout_seconds' must be an integer 0..10000000 or null")},
      {"timeout negative", "", "n", R"({"command":"agent","timeout_seconds":-1,"after":1})",
       kCurrent, TokenRole::kAdmin, 400,
       error_body("invalid_value", "'timeout_seconds' must be an integer 0..10000000 or null")},
      {"after not an array", "", "n", R"({"command":"agent","after":"files"})", kCurrent,
       TokenRole::kAdmin, 400,
       error_body("invalid_value", "'after' must be an array of at most 16 job names")},
      {"17 after entries", "", "n", R"({"command":"agent","after":)" + seventeen + "}", kCurrent,
       TokenRole::kAdmin, 400,
       error_body("invalid_value", "'after' must be an array of at most 16 job names")},
      {"after entry with a comma", "", "n", R"({"command":"agent","after":["a,b"]})", kCurrent,
       TokenRole::kAdmin, 400, error_body("invalid_value", "'after' entries must be job names")},
      {"after entry no string", "", "n", R"({"command":"agent","after":["a",1]})", kCurrent,
       TokenRole::kAdmin, 400, error_body("invalid_value", "'after' entries must be job names")},
      {"after entry blank", "", "n", R"({"command":"agent","after":["a "]})", kCurrent,
       TokenRole::kAdmin, 400, error_body("invalid_value", "'after' entries must be job names")},
      {"after entry 128 bytes", "", "n", R"({"command":"agent","after":[")" + long_entry + "\"]}",
       kCurrent, TokenRole::kAdmin, 400,
       error_body("invalid_value", "'after' entries must be job names")},
      {"name starts with '-'", "", "-x", "{" + agent + "}", kCurrent, TokenRole::kAdmin, 400,
       error_body("invalid_name",
                  "job names created through the API must match "
                  "[A-Za-z0-9][A-Za-z0-9._-]{0,63} and must not be sched, mail or api")},
      {"name starts with '.'", "", ".hidden", "{" + agent + "}", kCurrent, TokenRole::kAdmin, 400,
       error_body("invalid_name",
                  "job names created through the API must match "
                  "[A-Za-z0-9][A-Za-z0-9._-]{0,63} and must not be sched, mail or api")},
      {"name of 65", "", long_name, "{" + agent + "}", kCurrent, TokenRole::kAdmin, 400,
       error_body("invalid_name",
                  "job names created through the API must match "
                  "[A-Za-z0-9][A-Za-z0-9._-]{0,63} and must not be sched, mail or api")},
      {"name with a blank", "", "a%20b", "{" + agent + "}", kCurrent, TokenRole::kAdmin, 400,
       error_body("invalid_name",
                  "job names created through the API must match "
                  "[A-Za-z0-9][A-Za-z0-9._-]{0,63} and must not be sched, mail or api")},
      {"mail without a [mail] section", "", "mail", "{" + agent + "}", kCurrent, TokenRole::kAdmin,
       400,
       error_body("invalid_name",
                  "job names created through the API must match "
                  "[A-Za-z0-9][A-Za-z0-9._-]{0,63} and must not be sched, mail or api")},
      {"the [sched] section", "", "sched", "{" + agent + "}", kCurrent, TokenRole::kAdmin, 400,
       error_body("invalid_name", "'sched' is not a job")},
      {"name checked before the command", "", "-x", R"({"command":"restore"})", kCurrent,
       TokenRole::kAdmin, 400,
       error_body("invalid_name",
                  "job names created through the API must match "
                  "[A-Za-z0-9][A-Za-z0-9._-]{0,63} and must not be sched, mail or api")},
      {"command not allowed", "", "n", R"({"command":"restore","once":"1772332200"})", kCurrent,
       TokenRole::kAdmin, 403,
       error_body("command_not_allowed",
                  "command 'restore' may not be used through the API ([api] allowed-commands)")},
      {"joined after too long", "", "n", R"({"command":"agent","after":)" + sixteen_long + "}",
       kCurrent, TokenRole::kAdmin, 400,
       error_body("invalid_value", "a value cannot be written to the configuration file")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fresh(kBase + c.config_extra);
    std::string if_match = c.if_match == kNone    ? ""
                           : c.if_match == kStale ? "\"" + std::string(64, '0') + "\""
                                                  : etag();
    EXPECT_EQ(put(c.name, c.body, if_match, c.role), c.want);
    EXPECT_EQ(response.status, c.status);
    expect_untouched(kBase + c.config_extra);
  }
}

TEST_F(ApiJobChangeTest, PutWritesOnlyTheGivenKeysInTableOrder) {
  struct Case {
    const char* what;
    std::string body;
    std::string want;  // the new section
  };
  const Case cases[] = {
      {"defaults are not written",
       R"({"command":"agent","schedule":"0 3 * * *","enabled":true,"timeout_seconds":0,)"
       R"("notify":"inherit","after":null,"profile":null,"run_background":null})",
       "[n]\ncommand=agent\nschedule=0 3 * * *\n"},
      {"everything",
       R"({"retention_class":"gold","retention":"30d","start_background":false,)"
       R"("run_background":true,"notify":"never","timeout_seconds":3600,"enabled":false,)"
       R"("after_mode":"finished","after":["files","verify-files"],"args":"--verbose",)"
       R"("profile":"files","command":"agent"})",
       "[n]\ncommand=agent\nprofile=files\nargs=--verbose\nafter=files,verify-files\n"
       "after-mode=finished\nenabled=no\ntimeout-seconds=3600\nnotify=never\n"
       "run-background=yes\nstart-background=no\nretention=30d\nretention-class=gold\n"},
      {"once and the largest timeout",
       R"({"command":"verify","once":"1772332200","timeout_seconds":10000000})",
       "[n]\ncommand=verify\nonce=1772332200\ntimeout-seconds=10000000\n"},
      {"a value that needs quotes", R"({"command":"agent","schedule":"0 3 * * *","args":"a #b"})",
       "[n]\ncommand=agent\nargs='a #b'\nschedule=0 3 * * *\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fresh(kBase + "\n" + kMail);
    std::string body = put("n", c.body, etag());
    EXPECT_EQ(response.status, 201u) << body;
    EXPECT_EQ(test_read_file(config_path), kBase + "\n" + kMail + "\n" + c.want);
  }
}

TEST_F(ApiJobChangeTest, ReplaceKeepsCommentsAndLayout) {
  const std::string head = "# site backups\n[files]\n# which profile\n";
  const std::string tail =
      "\n[other]   # second job\ncommand = verify\nschedule = 0 5 * * *  ; daily\n";
  configure(head +
            "profile = old   # keep this comment\ncommand = agent\nschedule = 0 2 * * *\n"
            "retention = 7d\n" +
            tail);
  std::string body = put(
      "files", R"({"command":"agent","profile":"new","schedule":"0 4 * * *","timeout_seconds":60})",
      etag());
  ASSERT_EQ(response.status, 200u) << body;
  EXPECT_EQ(test_read_file(config_path),
            head +
                "profile=new   # keep this comment\ncommand=agent\nschedule=0 4 * * *\n"
                "timeout-seconds=60\n" +
                tail);
}

TEST_F(ApiJobChangeTest, ExistingJobOutsideTheNamePatternCanBeReplaced) {
  configure("[Odd Name+]\ncommand = agent\nschedule = 0 1 * * *\n");
  std::string body = put("Odd%20Name+", kNightly, etag());
  ASSERT_EQ(response.status, 200u) << body;
  EXPECT_NE(body.find("\"created\":false,\"job\":{\"name\":\"Odd Name+\""), std::string::npos);
  EXPECT_EQ(test_read_file(config_path), "[Odd Name+]\ncommand=agent\nschedule=0 3 * * *\n");
}

TEST_F(ApiJobChangeTest, InvalidResultNamesFileAndLineAndWritesNothing) {
  configure(kBase);
  std::string body = put("n", R"({"command":"agent","schedule":"61 * * * *"})", etag());
  EXPECT_EQ(response.status, 400u);
  const std::string prefix = "{\"error\":{\"code\":\"config_invalid\",\"message\":\"" +
                             config_path + ":" + std::to_string(kBaseLines + 4) + ": ";
  EXPECT_EQ(body.substr(0, prefix.size()), prefix) << body;
  expect_untouched(kBase);
  // A whole-file rule: an 'after' target that does not exist.
  body = put("n", R"({"command":"agent","after":["ghost"]})", etag());
  EXPECT_EQ(body, error_body("config_invalid", "[n]: 'after' references unknown job 'ghost'"));
  expect_untouched(kBase);
}

TEST_F(ApiJobChangeTest, UnreadableConfigurationIs500) {
  configure(kBase);
  const std::string tag = etag();
  ASSERT_TRUE(test_write_file(config_path, "[broken\n"));
  std::string body = put("n", kNightly, tag);
  EXPECT_EQ(response.status, 500u);
  EXPECT_NE(body.find("\"code\":\"config_unreadable\""), std::string::npos) << body;
  del("files", tag);
  EXPECT_EQ(response.status, 500u);
  EXPECT_EQ(test_read_file(config_path), "[broken\n");
}

TEST_F(ApiJobChangeTest, AllowArgsOffKeepsArgsAsTheyAre) {
  const std::string text = kBase + "\n[api]\nallow-args = no\n\n[fast]\ncommand = agent\n" +
                           "args = --fast\nschedule = 0 1 * * *\n";
  const std::string refused = error_body(
      "args_not_allowed", "'args' may not be set or changed through the API ([api] allow-args=no)");
  struct Case {
    const char* what;
    std::string name;
    std::string body;
    uint32_t status;
  };
  const Case cases[] = {
      {"new job with args", "n", R"({"command":"agent","schedule":"0 3 * * *","args":"-v"})", 403},
      {"new job without", "n", R"({"command":"agent","schedule":"0 3 * * *"})", 201},
      {"the same args", "fast", R"({"command":"agent","schedule":"0 3 * * *","args":"--fast"})",
       200},
      {"other args", "fast", R"({"command":"agent","schedule":"0 3 * * *","args":"--slow"})", 403},
      {"args dropped", "fast", R"({"command":"agent","schedule":"0 3 * * *"})", 403},
      {"none before, none now", "files", R"({"command":"agent","schedule":"0 3 * * *"})", 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fresh(text);
    std::string body = put(c.name, c.body, etag());
    EXPECT_EQ(response.status, c.status) << body;
    if (c.status == 403) {
      EXPECT_EQ(body, refused);
      expect_untouched(text);
    }
  }
}

TEST_F(ApiJobChangeTest, AllowedCommandsCoverTheOldAndTheNewCommand) {
  const std::string jobs = "[restorer]\ncommand = restore\nonce = 1772332200\n";
  struct Case {
    const char* what;
    std::string api;
    std::string body;
    uint32_t status;
    std::string want;
  };
  const Case cases[] = {
      {"the present command is not allowed", "", R"({"command":"agent","schedule":"0 3 * * *"})",
       403,
       error_body("command_not_allowed",
                  "job 'restorer' has command 'restore', which the API may not change ([api] "
                  "allowed-commands)")},
      {"the new command first", "[api]\nallowed-commands = agent,restore\n",
       R"({"command":"verify","once":"1772332200"})", 403,
       error_body("command_not_allowed",
                  "command 'verify' may not be used through the API ([api] allowed-commands)")},
      {"both allowed", "[api]\nallowed-commands = agent,restore\n",
       R"({"command":"agent","schedule":"0 3 * * *"})", 200, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fresh(c.api + jobs);
    std::string body = put("restorer", c.body, etag());
    EXPECT_EQ(response.status, c.status) << body;
    if (!c.want.empty()) {
      EXPECT_EQ(body, c.want);
    }
  }
}

const std::string kDeleteBase = kBase +
                                "\n[lone]\ncommand = agent\nschedule = 0 4 * * *\n"
                                "\n[also-after-files]\ncommand = verify\nafter = lone,files\n";

TEST_F(ApiJobChangeTest, DeleteRefusalsInCheckingOrder) {
  struct Case {
    const char* what;
    std::string extra;
    std::string name;
    bool if_match;
    TokenRole role;
    std::string body;
    const char* running;
    uint32_t status;
    std::string want;
  };
  const Case cases[] = {
      {"read token", "", "lone", true, TokenRole::kRead, "", "", 403,
       error_body("forbidden", "this needs an admin token")},
      {"writes disabled", "\n[api]\nallow-config-write = no\n", "ghost", false, TokenRole::kAdmin,
       "x", "", 403,
       error_body("config_write_disabled",
                  "configuration changes through the API are disabled ([api] "
                  "allow-config-write=no)")},
      {"a body", "", "ghost", false, TokenRole::kAdmin, "{}", "", 400,
       error_body("bad_request", "DELETE takes no body")},
      {"no such job before If-Match", "", "ghost", false, TokenRole::kAdmin, "", "", 404,
       error_body("not_found", "no job named 'ghost'")},
      {"a settings section", "", "sched", true, TokenRole::kAdmin, "", "", 404,
       error_body("not_found", "no job named 'sched'")},
      {"no If-Match before running", "", "lone", false, TokenRole::kAdmin, "", "lone", 428,
       error_body("precondition_required",
                  "If-Match with the current config_etag is required for changes")},
      {"running before referenced", "", "files", true, TokenRole::kAdmin, "", "files", 409,
       error_body("job_running", "job 'files' is running")},
      {"first referrer in file order", "", "files", true, TokenRole::kAdmin, "", "lone", 409,
       error_body("job_referenced", "job 'files' is named in 'after' of job 'verify-files'")},
      {"second name of a list", "", "lone", true, TokenRole::kAdmin, "", "", 409,
       error_body("job_referenced", "job 'lone' is named in 'after' of job 'also-after-files'")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fresh(kDeleteBase + c.extra);
    text_copy_cut(state->running_job, c.running);
    EXPECT_EQ(del(c.name, c.if_match ? etag() : "", c.role, c.body), c.want);
    EXPECT_EQ(response.status, c.status);
    expect_untouched(kDeleteBase + c.extra);
  }
  configure(kDeleteBase);
  del("lone", "\"" + std::string(64, 'f') + "\"");
  EXPECT_EQ(response.status, 412u);
}

TEST_F(ApiJobChangeTest, DeleteRemovesTheSectionAndOneQueuedRun) {
  configure(kDeleteBase);
  for (const char* job : {"also-after-files", "files", "also-after-files"}) {
    text_copy_cut(state->run_queue[state->run_queue_count].job, job);
    text_copy_cut(state->run_queue[state->run_queue_count].token, "t");
    ++state->run_queue_count;
  }
  std::string body = del("also-after-files", etag());
  ASSERT_EQ(response.status, 200u) << body;
  EXPECT_EQ(body, "{\"config_etag\":" + json_etag() + "}");
  EXPECT_EQ(test_read_file(config_path),
            kBase + "\n[lone]\ncommand = agent\nschedule = 0 4 * * *\n\n");
  EXPECT_EQ(history(), std::vector<std::string>{kDeleteBase});
  EXPECT_EQ(state->config_changed, 1u);
  ASSERT_EQ(state->run_queue_count, 2u);
  EXPECT_STREQ(state->run_queue[0].job, "files");
  EXPECT_STREQ(state->run_queue[1].job, "also-after-files");
  EXPECT_STREQ(state->run_queue[2].job, "");
}

TEST_F(ApiJobChangeTest, ValidateAnswersWithTheRefusalEmbedded) {
  const std::string text = kBase + "\n[api]\nallow-config-write = no\n";
  struct Case {
    const char* what;
    std::string body;
    uint32_t status;
    std::string want;
  };
  const Case cases[] = {
      {"valid", R"({"name":"n","command":"agent","schedule":"0 3 * * *"})", 200,
       "{\"valid\":true,\"result\":null}"},
      {"an existing job", R"({"command":"agent","schedule":"0 3 * * *","name":"files"})", 200,
       "{\"valid\":true,\"result\":null}"},
      {"unknown command", R"({"name":"n","command":"nope"})", 200,
       "{\"valid\":false,\"result\":" + error_body("invalid_value", "unknown command 'nope'") +
           "}"},
      {"command not allowed", R"({"name":"n","command":"restore","once":"1772332200"})", 200,
       "{\"valid\":false,\"result\":" +
           error_body("command_not_allowed",
                      "command 'restore' may not be used through the API ([api] "
                      "allowed-commands)") +
           "}"},
      {"invalid name", R"({"name":"-n","command":"agent"})", 200,
       "{\"valid\":false,\"result\":" +
           error_body("invalid_name",
                      "job names created through the API must match "
                      "[A-Za-z0-9][A-Za-z0-9._-]{0,63} and must not be sched, mail or api") +
           "}"},
      {"not a valid configuration", R"({"name":"n","command":"agent"})", 200,
       "{\"valid\":false,\"result\":" +
           error_body("config_invalid",
                      "[n]: needs at least one of 'schedule', 'once' or 'after' (or set "
                      "enabled=no)") +
           "}"},
      {"name missing", R"({"command":"agent"})", 400,
       error_body("invalid_value", "'name' (string) is required")},
      {"name not a string", R"({"name":5,"command":"agent"})", 400,
       error_body("invalid_value", "'name' (string) is required")},
      {"name with '/'", R"({"name":"a/b","command":"agent"})", 400,
       error_body("invalid_value", "'name' (string) is required")},
      {"name with '['", R"({"name":"a[b","command":"agent"})", 400,
       error_body("invalid_value", "'name' (string) is required")},
      {"name blank at the end", R"({"name":"a ","command":"agent"})", 400,
       error_body("invalid_value", "'name' (string) is required")},
      {"name of 128 bytes", R"({"name":")" + std::string(128, 'n') + R"(","command":"agent"})", 400,
       error_body("invalid_value", "'name' (string) is required")},
      {"unknown field", R"({"name":"n","command":"agent","x":1})", 400,
       error_body("unknown_field", "unknown field 'x'")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fresh(text);
    EXPECT_EQ(validate(c.body), c.want);
    EXPECT_EQ(response.status, c.status);
    expect_untouched(text);
  }
  // The syntax of a value is the loader's: its message names the file and line.
  configure(text);
  std::string body = validate(R"({"name":"n","command":"agent","schedule":"61 * * * *"})");
  const std::string prefix =
      "{\"valid\":false,\"result\":{\"error\":{\"code\":\"config_invalid\",\"message\":\"" +
      config_path + ":";
  EXPECT_EQ(body.substr(0, prefix.size()), prefix) << body;
}

class ApiChangeNoticeTest : public ApiJobChangeTest {
 protected:
  void SetUp() override {
    ApiJobChangeTest::SetUp();
    state->mail_hand_over = fake_hand_over;
    state->mail_context = &mail;
    notify_host_name(host);
  }

  FakeMail mail;
  char host[kNotifyHostSize] = {};
};

TEST_F(ApiChangeNoticeTest, PutLogsAndMailsTheChange) {
  const std::string text = kMail + "\n" + kBase;
  configure(text);
  log_init("vrk_sched", kLogInfo);
  StderrCapture err;
  put("nightly", kNightly, etag());
  std::string log = err.text();
  log_init("vrk_sched", kLogError);
  ASSERT_EQ(response.status, 201u);
  const std::string line = "vrk_sched API: token 'tester' from 192.0.2.1 changed " + config_path +
                           ": created job 'nightly'\n";
  EXPECT_NE(log.find(" [vrk_sched] INFO  " + line), std::string::npos) << log;
  ASSERT_EQ(mail.calls, 1);
  EXPECT_EQ(mail.subject, std::string("[arvenna] ") + host +
                              ": vrk_sched configuration changed via API (created job 'nightly')");
  const int n = kBaseLines + 8;  // the six lines of [mail], a blank line, the base
  EXPECT_EQ(mail.body, std::string("The vrk_sched configuration on ") + host +
                           " was changed through the API.\n\n"
                           "Change:  created job 'nightly'\n"
                           "Token:   tester\n"
                           "Client:  192.0.2.1\n"
                           "File:    " +
                           config_path + "\nHistory: " + dir +
                           "/cfg-history\n\n--- changed lines ---\n"
                           "+" +
                           std::to_string(n) + ": \n+" + std::to_string(n + 1) + ": [nightly]\n+" +
                           std::to_string(n + 2) + ": command=agent\n+" + std::to_string(n + 3) +
                           ": schedule=0 3 * * *\n");

  // DELETE sends its notice too.
  del("nightly", etag());
  ASSERT_EQ(response.status, 200u);
  EXPECT_EQ(mail.calls, 2);
  EXPECT_EQ(mail.subject, std::string("[arvenna] ") + host +
                              ": vrk_sched configuration changed via API (deleted job 'nightly')");
}

TEST_F(ApiChangeNoticeTest, NoMailWithoutMailSectionOrWithNotifyChangesOff) {
  for (const std::string& text : {kBase, kMail + "[api]\nnotify-changes = no\n" + kBase}) {
    configure(text);
    put("nightly", kNightly, etag());
    EXPECT_EQ(response.status, 201u);
  }
  EXPECT_EQ(mail.calls, 0);
}

TEST_F(ApiChangeNoticeTest, ApplyChangeMasksThePasswordInTheDiff) {
  configure(kMail + kBase);
  ConfigSnapshot snapshot;
  char err[kConfigApiErrSize];
  ASSERT_EQ(config_snapshot_read(*state, snapshot, err), 0) << err;
  std::string changed = kMail + kBase;
  const std::string old_line = "smtp-password = \"s3cret pw\"";
  changed.replace(changed.find(old_line), old_line.size(), "smtp-password = n3w-pw");
  ApiRequest request;
  text_copy_cut(request.client_address, "2001:db8::1");
  ApiCall call;
  api_call_init(call, state.get(), request, response);
  text_copy_cut(call.token_name, "admin-1");
  EXPECT_EQ(api_apply_change(call, snapshot, changed, "updated mail settings"), 0);
  config_snapshot_release(snapshot);
  EXPECT_EQ(response.status, 0u);  // the caller answers
  EXPECT_EQ(test_read_file(config_path), changed);
  ASSERT_EQ(mail.calls, 1);
  const std::string tail =
      "Token:   admin-1\nClient:  2001:db8::1\nFile:    " + config_path + "\nHistory: " + dir +
      "/cfg-history\n\n--- changed lines ---\n+4: smtp-password=***\n-    smtp-password=***\n";
  EXPECT_EQ(mail.body.substr(mail.body.size() - std::min(tail.size(), mail.body.size())), tail);
  EXPECT_EQ(mail.body.find("s3cret"), std::string::npos);
  EXPECT_EQ(mail.body.find("n3w-pw"), std::string::npos);
}

TEST_F(ApiChangeNoticeTest, WriteFailureIs500AndLoggedWithTheFileKept) {
  configure(kMail + kBase);
  ASSERT_TRUE(test_write_file(state->history_dir, "not a directory\n"));
  log_init("vrk_sched", kLogInfo);
  StderrCapture err;
  std::string body = put("nightly", kNightly, etag());
  std::string log = err.text();
  log_init("vrk_sched", kLogError);
  const std::string message = std::string("cannot create ") + state->history_dir;
  EXPECT_EQ(body, error_body("internal", message));
  EXPECT_EQ(response.status, 500u);
  EXPECT_NE(log.find(" [vrk_sched] ERROR vrk_sched API: " + message + "\n"), std::string::npos)
      << log;
  EXPECT_EQ(test_read_file(config_path), kMail + kBase);
  EXPECT_EQ(state->config_changed, 0u);
  EXPECT_EQ(mail.calls, 0);
}

}  // namespace
}  // namespace vrk
