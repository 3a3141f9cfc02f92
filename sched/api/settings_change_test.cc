#include "sched/api/settings_change.h"

#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sched/api/apply_change.h"
#include "sched/api/config_snapshot.h"
#include "sched/api/test_call.h"
#include "sched/config_write.h"

namespace vrk {
namespace {

enum class Match { kNone, kCurrent, kStale };

constexpr TokenRole kAdmin = TokenRole::kAdmin;
constexpr TokenRole kRead = TokenRole::kRead;

class ApiSettingsChangeTest : public ApiCallTest {
 protected:
  // PUT through the router with If-Match absent, current or the ETag of another content.
  std::string put(const std::string& path, const std::string& body, Match match = Match::kCurrent,
                  TokenRole role = kAdmin) {
    std::string if_match;
    if (match == Match::kCurrent) {
      if_match = etag();
    } else if (match == Match::kStale) {
      if_match = "\"0000000000000000000000000000000000000000000000000000000000000000\"";
    }
    return answer_if_match("PUT", path, "", body, if_match, role);
  }

  // The ETag as the JSON bodies carry it.
  std::string etag_json() {
    const std::string tag = etag();
    return "\"\\\"" + tag.substr(1, tag.size() - 2) + "\\\"\"";
  }

  // The document a GET answers now, to compare with a change's answer.
  std::string get(const std::string& path) { return answer("GET", path, "", "", kRead); }

  // A literal password with its user and starttls, for files that keep one.
  std::string mail_section(const std::string& password_line) {
    return "[mail]\n"
           "# relay of the office\n"
           "smtp-host = old.example.org  # primary relay\n"
           "smtp-port = 2525\n"
           "smtp-user = backup\n" +
           password_line +
           "from = backup@example.org\n"
           "to = admin@example.org\n";
  }
};

TEST_F(ApiSettingsChangeTest, RefusalsComeInOrderAndTouchNothing) {
  const std::string base = "# hand-written\n" + mail_section("smtp-password = 'Old pw #1'\n") +
                           "\n[sched]\npoll-interval = 30\n";
  struct Case {
    const char* path;
    std::string body;
    Match match;
    TokenRole role;
    uint32_t status;
    const char* code;
    std::string message;
  };
  const char* kMail = "/api/v1/settings/mail";
  const char* kSched = "/api/v1/settings/sched";
  const std::string ok_mail = R"("smtp_host":"h","from":"b@example.org","to":["a@example.org"])";
  const std::string addr16 =
      R"("a@x","a@x","a@x","a@x","a@x","a@x","a@x","a@x","a@x","a@x","a@x","a@x","a@x","a@x",)"
      R"("a@x","a@x")";
  const std::string to_array = "'to' must be an array of 1..16 addresses";
  const std::string plain = "'to' entries must be plain addresses like admin@example.org";
  const std::string reference =
      "smtp_password references (file:, kms:) can only be set on the server itself";
  const std::string sched_shape = R"(body must be {\"sched\": {...}})";
  const Case cases[] = {
      {kMail, "{\"mail\":null}", Match::kCurrent, kRead, 403, "forbidden",
       "this needs an admin token"},
      {kMail, "", Match::kCurrent, kAdmin, 400, "invalid_json", "a JSON body is required"},
      {kMail, "[]", Match::kCurrent, kAdmin, 400, "invalid_json", "the body must be a JSON object"},
      // Body shape before If-Match, If-Match before the mail members.
      {kMail, R"({"mail":{},"x":1})", Match::kNone, kAdmin, 400, "unknown_field",
       "unknown field 'x'"},
      {kMail, "{}", Match::kNone, kAdmin, 400, "invalid_value",
       R"(body must be {\"mail\": {...}} or {\"mail\": null})"},
      {kMail, R"({"mail":"x"})", Match::kCurrent, kAdmin, 400, "invalid_value",
       R"(body must be {\"mail\": {...}} or {\"mail\": null})"},
      {kMail, R"({"mail":{"bogus":1}})", Match::kNone, kAdmin, 428, "precondition_required",
       "If-Match with the current config_etag is required for changes"},
      {kMail, R"({"mail":{"bogus":1}})", Match::kStale, kAdmin, 412, "precondition_failed",
       "the configuration was changed in the meantime: reload it and retry"},
      {kMail, R"({"mail":{"bogus":1}})", Match::kCurrent, kAdmin, 400, "unknown_field",
       "unknown field 'bogus'"},
      // Members in the order smtp_host, smtp_user, from, ca_file, tls, notify, port, timeout.
      {kMail, R"({"mail":{"tls":5,"smtp_host":" h"}})", Match::kCurrent, kAdmin, 400,
       "invalid_value",
       "'smtp_host' must be 1..255 characters without control characters or leading/trailing "
       "spaces"},
      {kMail, R"({"mail":{"timeout_seconds":-1,"notify":7}})", Match::kCurrent, kAdmin, 400,
       "invalid_value", "'notify' must be a string or null"},
      {kMail, R"({"mail":{"smtp_port":65536}})", Match::kCurrent, kAdmin, 400, "invalid_value",
       "'smtp_port' must be an integer 0..65535 or null"},
      {kMail, R"({"mail":{"timeout_seconds":3601}})", Match::kCurrent, kAdmin, 400, "invalid_value",
       "'timeout_seconds' must be an integer 0..3600 or null"},
      {kMail, R"({"mail":{"from":"b@example.org","to":["a@example.org"]}})", Match::kCurrent,
       kAdmin, 400, "invalid_value", "'smtp_host', 'from' and 'to' are required"},
      // The password comes before "to".
      {kMail, R"({"mail":{"smtp_host":"h","from":"b@x","to":[],"smtp_password":"file:/etc/pw"}})",
       Match::kCurrent, kAdmin, 403, "forbidden", reference},
      {kMail, R"({"mail":{)" + ok_mail + R"(,"smtp_password":"kms:https://k"}})", Match::kCurrent,
       kAdmin, 403, "forbidden", reference},
      {kMail, R"({"mail":{)" + ok_mail + R"(,"smtp_password":""}})", Match::kCurrent, kAdmin, 400,
       "invalid_value",
       "'smtp_password' must be 1..99 characters without control characters or leading/trailing "
       "spaces"},
      {kMail, R"({"mail":{)" + ok_mail + R"(,"smtp_password":")" + std::string(100, 'p') + "\"}}",
       Match::kCurrent, kAdmin, 400, "invalid_value",
       "'smtp_password' must be 1..99 characters without control characters or leading/trailing "
       "spaces"},
      {kMail, R"({"mail":{"smtp_host":"h","from":"b@example.org"}})", Match::kCurrent, kAdmin, 400,
       "invalid_value", to_array},
      {kMail, R"({"mail":{"smtp_host":"h","from":"b@example.org","to":[]}})", Match::kCurrent,
       kAdmin, 400, "invalid_value", to_array},
      {kMail, R"({"mail":{"smtp_host":"h","from":"b@example.org","to":"a@example.org"}})",
       Match::kCurrent, kAdmin, 400, "invalid_value", to_array},
      {kMail, R"({"mail":{"smtp_host":"h","from":"b@example.org","to":[)" + addr16 + ",\"a@x\"]}}",
       Match::kCurrent, kAdmin, 400, "invalid_value", to_array},
      {kMail, R"({"mail":{"smtp_host":"h","from":"b@example.org","to":["a@x",5]}})",
       Match::kCurrent, kAdmin, 400, "invalid_value", plain},
      {kMail, R"({"mail":{"smtp_host":"h","from":"b@example.org","to":["Ops <a@x>"]}})",
       Match::kCurrent, kAdmin, 400, "invalid_value", plain},
      {kMail, R"({"mail":{"smtp_host":"h","from":"b@example.org","to":["a@x,b@x"]}})",
       Match::kCurrent, kAdmin, 400, "invalid_value", plain},
      // 16 addresses of 65 bytes cannot be written as one value.
      {kMail,
       R"({"mail":{"smtp_host":"h","from":"b@example.org","to":[)" +
           [] {
             std::string list;
             for (int i = 0; i < 16; ++i) {
               list += std::string(i ? "," : "") + "\"" + std::string(60, 'a') + "@x.org\"";
             }
             return list;
           }() +
           "]}}",
       Match::kCurrent, kAdmin, 400, "invalid_value", "cannot write the values"},
      {kSched, R"({"sched":{}})", Match::kCurrent, kRead, 403, "forbidden",
       "this needs an admin token"},
      {kSched, R"({"sched":5})", Match::kNone, kAdmin, 400, "invalid_value", sched_shape},
      {kSched, R"({"sched":null})", Match::kNone, kAdmin, 400, "invalid_value", sched_shape},
      {kSched, R"({"sched":{},"x":1})", Match::kNone, kAdmin, 400, "unknown_field",
       "unknown field 'x'"},
      {kSched, R"({"sched":{"job_log_dir":null}})", Match::kNone, kAdmin, 403, "read_only",
       "job_log_dir cannot be changed through the API"},
      {kSched, R"({"sched":{"x":1,"job_log_dir":"/tmp"}})", Match::kNone, kAdmin, 403, "read_only",
       "job_log_dir cannot be changed through the API"},
      {kSched, R"({"sched":{"x":1}})", Match::kNone, kAdmin, 400, "unknown_field",
       "unknown field 'x'"},
      {kSched, R"({"sched":{"job_log_keep":"5"}})", Match::kNone, kAdmin, 400, "invalid_value",
       "'job_log_keep' must be an integer 0..100000000 or null"},
      {kSched, R"({"sched":{"busy_retry_seconds":100000001}})", Match::kNone, kAdmin, 400,
       "invalid_value", "'busy_retry_seconds' must be an integer 0..100000000 or null"},
      {kSched, R"({"sched":{"job_timeout_seconds":1.5,"poll_interval":-1}})", Match::kNone, kAdmin,
       400, "invalid_value", "'poll_interval' must be an integer 0..100000000 or null"},
      {kSched, R"({"sched":{"poll_interval":100000000}})", Match::kNone, kAdmin, 428,
       "precondition_required", "If-Match with the current config_etag is required for changes"},
      {kSched, R"({"sched":{}})", Match::kStale, kAdmin, 412, "precondition_failed",
       "the configuration was changed in the meantime: reload it and retry"},
  };
  configure(base);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + c.body);
    std::string body = put(c.path, c.body, c.match, c.role);
    EXPECT_EQ(response.status, c.status);
    EXPECT_EQ(body, test_error_body(c.code, c.message));
    EXPECT_EQ(test_read_file(config_path), base);
  }
  EXPECT_TRUE(history_paths().empty());
  EXPECT_EQ(state->config_changed, 0u);
}

TEST_F(ApiSettingsChangeTest, WritesNeedAllowConfigWrite) {
  configure("[api]\nallow-config-write = no\n");
  for (const char* path : {"/api/v1/settings/mail", "/api/v1/settings/sched"}) {
    std::string body = put(path, "{}");
    EXPECT_EQ(response.status, 403u);
    EXPECT_EQ(body, test_error_body("config_write_disabled",
                                    "configuration changes through the API are disabled ([api] "
                                    "allow-config-write=no)"));
  }
}

TEST_F(ApiSettingsChangeTest, MailUpdateKeepsLayoutAndAnswersLikeGet) {
  const std::string head = "# scheduler of the backup server\n[sched]\npoll-interval = 30\n\n";
  const std::string tail = "\n# nightly\n[nightly]\ncommand = agent\nenabled = no\n";
  const std::string old_text = head + mail_section("smtp-password = 'Old pw #1'\n") + tail;
  configure(old_text);
  const std::string old_tag = etag();
  std::string body = put("/api/v1/settings/mail",
                         R"({"mail":{"smtp_host":"new.example.org","smtp_port":0,"tls":"smtps",)"
                         R"("smtp_user":"backup","from":"b@example.org",)"
                         R"("to":["a@example.org","c@example.org"],"ca_file":"/etc/ca.pem",)"
                         R"("timeout_seconds":30,"notify":"failed"}})");
  ASSERT_EQ(response.status, 200u) << body;
  EXPECT_EQ(test_read_file(config_path), head +
                                             "[mail]\n"
                                             "# relay of the office\n"
                                             "smtp-host=new.example.org  # primary relay\n"
                                             "smtp-user=backup\n"
                                             "smtp-password='Old pw #1'\n"
                                             "from=b@example.org\n"
                                             "to=a@example.org,c@example.org\n"
                                             "tls=smtps\n"
                                             "ca-file=/etc/ca.pem\n"
                                             "timeout-seconds=30\n"
                                             "notify=failed\n" +
                                             tail);
  EXPECT_EQ(body, get("/api/v1/settings/mail"));
  EXPECT_NE(body.find("\"config_etag\":" + etag_json()), std::string::npos);
  EXPECT_NE(body.find("\"smtp_port\":465,"), std::string::npos);
  EXPECT_EQ(body.find("Old pw"), std::string::npos);
  std::vector<std::string> copies = history_paths();
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(test_read_file(copies[0]), old_text);
  EXPECT_NE(etag(), old_tag);
  EXPECT_EQ(state->config_changed, 1u);
}

TEST_F(ApiSettingsChangeTest, PasswordKeptReplacedOrRemoved) {
  ASSERT_TRUE(test_write_file(dir + "/pw", "from-a-file\n"));
  const std::string ref = "smtp-password = file:" + dir + "/pw\n";
  const std::string rest = R"("smtp_host":"h.example.org","from":"b@example.org",)"
                           R"("to":["a@example.org"])";
  struct Case {
    std::string in_file;  // the password line of the file before
    std::string members;  // password and user members of the body
    uint32_t status;
    std::string want;  // the password line written, or the error code
  };
  const Case cases[] = {
      {ref, R"("smtp_user":"u",)", 200, "smtp-password=file:" + dir + "/pw\n"},
      {"smtp-password = 'Old #1'\n", R"("smtp_user":"u",)", 200, "smtp-password='Old #1'\n"},
      {ref, R"("smtp_user":"u","smtp_password":"New \"pw\" #2",)", 200,
       "smtp-password='New \"pw\" #2'\n"},
      {ref, R"("smtp_password":null,)", 200, ""},
      // Removing the password but keeping the user does not validate.
      {ref, R"("smtp_user":"u","smtp_password":null,)", 400, "config_invalid"},
      {ref, R"("smtp_user":"u","smtp_password":"file:/etc/shadow",)", 403, "forbidden"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.members);
    const std::string before = "[mail]\nsmtp-host = h.example.org\nsmtp-user = u\n" + c.in_file +
                               "from = b@example.org\nto = a@example.org\n";
    configure(before);
    std::string body = put("/api/v1/settings/mail", "{\"mail\":{" + c.members + rest + "}}");
    EXPECT_EQ(response.status, c.status) << body;
    EXPECT_EQ(body.find("#1"), std::string::npos);
    EXPECT_EQ(body.find("#2"), std::string::npos);
    EXPECT_EQ(body.find("from-a-file"), std::string::npos);
    const std::string after = test_read_file(config_path);
    if (c.status != 200) {
      EXPECT_NE(body.find("\"code\":\"" + c.want + "\""), std::string::npos) << body;
      EXPECT_EQ(after, before);
      continue;
    }
    const std::string user =
        c.members.find("smtp_user") != std::string::npos ? "smtp-user=u\n" : "";
    EXPECT_EQ(after, "[mail]\nsmtp-host=h.example.org\n" + user + c.want +
                         "from=b@example.org\nto=a@example.org\n");
    EXPECT_NE(
        body.find(c.want.empty() ? "\"smtp_password_set\":false" : "\"smtp_password_set\":true"),
        std::string::npos);
  }
}

TEST_F(ApiSettingsChangeTest, MailAppendedWhenMissingWithoutDefaults) {
  configure("[sched]\npoll-interval = 30");
  std::string body = put("/api/v1/settings/mail",
                         R"({"mail":{"smtp_host":"h","smtp_port":2525,"smtp_password":null,)"
                         R"("from":"b@example.org","to":["a@example.org"],"timeout_seconds":0,)"
                         R"("notify":"inherit","tls":"none"}})");
  ASSERT_EQ(response.status, 200u) << body;
  EXPECT_EQ(test_read_file(config_path),
            "[sched]\npoll-interval = 30\n\n[mail]\nsmtp-host=h\nsmtp-port=2525\ntls=none\n"
            "from=b@example.org\nto=a@example.org\n");
}

TEST_F(ApiSettingsChangeTest, MailNullRemovesOnceThenNotFound) {
  const std::string jobs = "[a]\ncommand = agent\nenabled = no\n";
  configure(mail_section("smtp-password = secret\n") + "\n" + jobs);
  std::string body = put("/api/v1/settings/mail", "{\"mail\":null}");
  ASSERT_EQ(response.status, 200u) << body;
  EXPECT_EQ(body, "{\"config_etag\":" + etag_json() + ",\"mail\":null}");
  EXPECT_EQ(test_read_file(config_path), jobs);
  body = put("/api/v1/settings/mail", "{\"mail\":null}");
  EXPECT_EQ(response.status, 404u);
  EXPECT_EQ(body, test_error_body("not_found", "there is no [mail] section"));
  EXPECT_EQ(history_paths().size(), 1u);
}

TEST_F(ApiSettingsChangeTest, ResultThatDoesNotValidateChangesNothing) {
  const std::string with_notify = mail_section("smtp-password = secret\n") +
                                  "\n[a]\ncommand = agent\nenabled = no\n" + "notify = failed\n";
  const std::string ok = R"("smtp_host":"h","from":"b@example.org","to":["a@example.org"])";
  struct Case {
    std::string body;
    std::string message_start;
  };
  const Case cases[] = {
      {"{\"mail\":null}", "[a]: 'notify' needs a [mail] section"},
      {"{\"mail\":{" + ok + ",\"tls\":\"bogus\"}}", config_path + ":"},
      {"{\"mail\":{" + ok + ",\"tls\":\"none\",\"smtp_user\":\"u\"}}",
       "[mail]: 'smtp-password' needs tls=starttls or tls=smtps"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    configure(with_notify);
    std::string body = put("/api/v1/settings/mail", c.body);
    EXPECT_EQ(response.status, 400u);
    EXPECT_NE(body.find("{\"error\":{\"code\":\"config_invalid\",\"message\":\"" + c.message_start),
              std::string::npos)
        << body;
    EXPECT_EQ(test_read_file(config_path), with_notify);
  }
  EXPECT_TRUE(history_paths().empty());
  EXPECT_EQ(state->config_changed, 0u);
}

TEST_F(ApiSettingsChangeTest, SchedZeroAndNullRemoveKeysAndLogDirStays) {
  const std::string before =
      "[sched]\n# poll often\npoll-interval = 30 ; seconds\n"
      "job-log-dir = " +
      dir +
      "/logs\njob-log-keep = 5\nbusy-retry-seconds = 60\n\n[mail]\n"
      "smtp-host = h\nfrom = b@example.org\nto = a@example.org\n";
  configure(before);
  std::string body =
      put("/api/v1/settings/sched", R"({"sched":{"poll_interval":0,"busy_retry_seconds":null,)"
                                    R"("job_timeout_seconds":7200,"job_log_keep":100000000}})");
  ASSERT_EQ(response.status, 200u) << body;
  EXPECT_EQ(test_read_file(config_path),
            "[sched]\n# poll often\njob-log-dir=" + dir +
                "/logs\njob-log-keep=100000000\njob-timeout-seconds=7200\n\n[mail]\n"
                "smtp-host = h\nfrom = b@example.org\nto = a@example.org\n");
  EXPECT_EQ(body, get("/api/v1/settings/sched"));
  EXPECT_NE(body.find("\"sched\":{\"poll_interval\":null,\"busy_retry_seconds\":null,"
                      "\"job_timeout_seconds\":7200,\"job_log_keep\":100000000,\"job_log_dir\":\"" +
                      dir + "/logs\"}"),
            std::string::npos)
      << body;
  body = put("/api/v1/settings/sched", R"({"sched":{"poll_interval":5}})");
  ASSERT_EQ(response.status, 200u) << body;
  EXPECT_EQ(test_read_file(config_path),
            "[sched]\n# poll often\njob-log-dir=" + dir +
                "/logs\npoll-interval=5\n\n[mail]\n"
                "smtp-host = h\nfrom = b@example.org\nto = a@example.org\n");
  EXPECT_EQ(history_paths().size(), 2u);
}

TEST_F(ApiSettingsChangeTest, SchedAppendedWhenMissing) {
  configure("[a]\ncommand = agent\nenabled = no\n");
  std::string body = put("/api/v1/settings/sched", R"({"sched":{"job_log_keep":3}})");
  ASSERT_EQ(response.status, 200u) << body;
  EXPECT_EQ(test_read_file(config_path),
            "[a]\ncommand = agent\nenabled = no\n\n[sched]\njob-log-keep=3\n");
}

// The If-Match check is made on a snapshot; a hand edit between it and the write must win.
TEST_F(ApiSettingsChangeTest, HandEditAfterTheSnapshotIsNotReplaced) {
  configure("[sched]\npoll-interval = 30\n");
  ConfigSnapshot snapshot;
  char err[kConfigApiErrSize];
  ASSERT_EQ(config_snapshot_read(*state, snapshot, err), 0) << err;
  const std::string edited = "[sched]\npoll-interval = 45\n# edited by hand\n";
  ASSERT_TRUE(test_write_file(config_path, edited));
  ApiRequest request;
  text_copy_cut(request.client_address, "192.0.2.1");
  ApiCall call;
  api_call_init(call, state.get(), request, response);
  EXPECT_NE(api_apply_change(call, snapshot, "[sched]\npoll-interval=5\n", "updated [sched]"), 0);
  config_snapshot_release(snapshot);
  EXPECT_EQ(response.status, 412u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(response.body), response.body_length),
            test_error_body("precondition_failed",
                            "the configuration was changed in the meantime: reload it and retry"));
  EXPECT_EQ(test_read_file(config_path), edited);
  EXPECT_TRUE(history_paths().empty());
  EXPECT_EQ(state->config_changed, 0u);
}

}  // namespace
}  // namespace vrk
