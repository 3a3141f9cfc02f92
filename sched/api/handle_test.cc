#include "sched/api/handle.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "common/clock.h"
#include "common/log.h"
#include "common/test_stderr.h"
#include "common/text.h"
#include "sched/api/test_sign.h"
#include "sched/config_load.h"

namespace vrk {
namespace {

const std::string kReadSecret = "R2d2C3poR2d2C3poR2d2C3poR2d2C3poR2d2C3po-_x";
const std::string kAdminSecret = "AdminSecretAdminSecretAdminSecretAdmin_-012";
const std::string kTokensText = "# tokens\nreader read 1700000000 " + kReadSecret +
                                "\nadmin1 admin 1700000000 " + kAdminSecret + "\n";

bool write_file(const std::string& path, const std::string& text, mode_t mode) {
  std::string tmp = path + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) {
    return false;
  }
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok && chmod(tmp.c_str(), mode) == 0 && rename(tmp.c_str(), path.c_str()) == 0;
}

// File times come from a clock that may tick only every few milliseconds: waiting before a
// change makes sure the change is visible in the file's times.
void let_the_clock_tick() {
  usleep(20'000);
}

class ApiHandleTest : public testing::Test {
 protected:
  void SetUp() override {
    log_init("vrk_sched", kLogDebug);
    char tmpl[] = "/tmp/vrk_api_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    config_path = dir + "/vrk_sched.cfg";
    tokens_path = dir + "/tokens";
    config_text = "[api]\nenabled = yes\ntokens-file = " + tokens_path +
                  "\n\n[nightly]\ncommand = agent\nprofile = files\nschedule = 0 2 * * *\n";
    ASSERT_TRUE(write_file(config_path, config_text, 0644));
    ASSERT_TRUE(write_file(tokens_path, kTokensText, 0600));
    config = config_new();
    ASSERT_TRUE(config);
    char err[kConfigErrSize];
    ASSERT_EQ(config_load(config_path.c_str(), *config, err), 0) << err;
    state = std::make_unique<ApiState>();
    api_state_init(*state, config_path.c_str(), (dir + "/queue.state").c_str(), dir.c_str(),
                   config.get(), nullptr);
    text_copy_cut(request.method, "GET");
    text_copy_cut(request.path, "/api/v1/info");
    text_copy_cut(request.client_address, "192.0.2.1");
  }

  void TearDown() override {
    config_free(*config);
    std::string cmd = "rm -rf '" + dir + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }

  std::string handle(const std::string& authorization) {
    text_copy_cut(request.authorization, authorization);
    api_handle_request(*state, request, response);
    EXPECT_GE(response.status, 100u);
    EXPECT_LE(response.status, 599u);
    return std::string(reinterpret_cast<const char*>(response.body), response.body_length);
  }

  // A signed Authorization value for the current request, signed independently.
  std::string signed_value(const std::string& key, const std::string& secret,
                           const std::string& nonce, int64_t ts = clock_unix_now()) {
    std::string t = std::to_string(ts);
    std::string body(reinterpret_cast<const char*>(request.body), request.body_length);
    std::string canonical = std::string("VRK1\n") + request.method + "\n" + request.path + "\n" +
                            request.query + "\n" + t + "\n" + nonce + "\n" +
                            reference_sha256(body) + "\n" + request.if_match;
    return "VRK-HMAC-SHA256 key=" + key + ", ts=" + t + ", nonce=" + nonce +
           ", sig=" + reference_hmac(secret, canonical);
  }

  std::string want_response_signature(const std::string& secret, const std::string& nonce,
                                      const std::string& body) {
    return reference_hmac(secret, "VRK1-R\n" + nonce + "\n" + std::to_string(response.status) +
                                      "\n" + reference_sha256(body));
  }

  std::string dir;
  std::string config_path;
  std::string tokens_path;
  std::string config_text;
  SchedConfigPtr config;
  std::unique_ptr<ApiState> state;
  ApiRequest request;
  ApiResponse response;
};

std::string error_body(const char* code, const std::string& message) {
  return std::string("{\"error\":{\"code\":\"") + code + "\",\"message\":\"" + message + "\"}}";
}

TEST_F(ApiHandleTest, BearerReadTokenGetsInfoUnsigned) {
  std::string body = handle("Bearer reader." + kReadSecret);
  ASSERT_EQ(response.status, 200u) << body;
  EXPECT_STREQ(response.signature, "");
  EXPECT_STREQ(response.etag, "");
  EXPECT_EQ(response.failed_login, 0u);
  EXPECT_EQ(body.rfind("{\"api_version\":1,\"server\":\"vrk_sched\",\"version\":\"", 0), 0u)
      << body;
  std::string etag = "\"config_etag\":\"\\\"" + reference_sha256(config_text) + "\\\"\"";
  EXPECT_NE(body.find(etag), std::string::npos) << body;
  EXPECT_NE(body.find("\"running_job\":null,\"run_queue\":[],"), std::string::npos) << body;
  EXPECT_NE(body.find(",\"token\":{\"name\":\"reader\",\"role\":\"read\"},\"policy\":{"
                      "\"allow_config_write\":true,\"allow_args\":true,\"allowed_commands\":["),
            std::string::npos)
      << body;
  EXPECT_NE(body.find("\"commands\":[{\"name\":\"agent\",\"profile\":true,\"retention\":true},"),
            std::string::npos)
      << body;
  EXPECT_NE(body.find(",\"limits\":{\"max_body_bytes\":32768,\"jobs_page_max\":50,"
                      "\"log_chunk_max\":49152,\"timestamp_window_seconds\":300},"
                      "\"mail_configured\":false}"),
            std::string::npos)
      << body;
}

TEST_F(ApiHandleTest, InfoShowsTheDaemonsState) {
  text_copy_cut(state->running_job, "nightly");
  text_copy_cut(state->run_queue[0].job, "a");
  text_copy_cut(state->run_queue[1].job, "b");
  state->run_queue_count = 2;
  std::string body = handle("Bearer reader." + kReadSecret);
  ASSERT_EQ(response.status, 200u) << body;
  EXPECT_NE(body.find("\"daemon_started\":" + std::to_string(state->daemon_started) +
                      ",\"running_job\":\"nightly\",\"run_queue\":[\"a\",\"b\"],"),
            std::string::npos)
      << body;
}

TEST_F(ApiHandleTest, SignedResponsesMatchAnIndependentHmac) {
  struct Case {
    const char* method;
    const char* path;
    const char* query;
    uint32_t want_status;
  };
  const Case cases[] = {
      {"GET", "/api/v1/info", "", 200},
      {"GET", "/api/v1/nothing", "", 404},
      {"POST", "/api/v1/info", "", 405},
      {"GET", "/api/v1/info", "x=1", 400},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    text_copy_cut(request.method, c.method);
    text_copy_cut(request.path, c.path);
    text_copy_cut(request.query, c.query);
    char nonce[33];
    snprintf(nonce, sizeof nonce, "%032d", ++n);
    std::string body = handle(signed_value("admin1", kAdminSecret, nonce));
    EXPECT_EQ(response.status, c.want_status) << body;
    EXPECT_EQ(response.failed_login, 0u);
    EXPECT_EQ(std::string(response.signature), want_response_signature(kAdminSecret, nonce, body));
  }
  // The read token may sign too; its responses are signed with its own secret.
  text_copy_cut(request.method, "GET");
  text_copy_cut(request.path, "/api/v1/info");
  request.query[0] = '\0';
  std::string body = handle(signed_value("reader", kReadSecret, std::string(32, 'f')));
  EXPECT_EQ(response.status, 200u) << body;
  EXPECT_EQ(std::string(response.signature),
            want_response_signature(kReadSecret, std::string(32, 'f'), body));
}

TEST_F(ApiHandleTest, RefusalsAreLoggedWithoutSecrets) {
  struct Case {
    std::string authorization;
    uint32_t want_status;
    uint32_t want_flag;
    const char* want_reason;
  };
  std::string nonce(32, 'a');
  std::string replayed = signed_value("admin1", kAdminSecret, nonce);
  const Case cases[] = {
      {"", 401, 1, "no credentials (Authorization: Bearer or VRK-HMAC-SHA256 expected)"},
      {"Basic " + kAdminSecret, 401, 1, "malformed Authorization header"},
      {"Bearer nobody." + kReadSecret, 401, 1, "unknown token"},
      {"Bearer admin1." + kReadSecret, 401, 1, "wrong secret or signature"},
      {"Bearer admin1." + kAdminSecret, 401, 1,
       "admin tokens must sign their requests (VRK-HMAC-SHA256), not use Bearer"},
      {signed_value("admin1", kAdminSecret, std::string(32, 'b'), clock_unix_now() - 400), 401, 1,
       "request timestamp outside the allowed window (check the client's clock)"},
      {replayed, 200, 0, nullptr},
      {replayed, 401, 1, "nonce already used"},
  };
  StderrCapture capture;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want_reason ? c.want_reason : "accepted");
    std::string body = handle(c.authorization);
    EXPECT_EQ(response.status, c.want_status);
    EXPECT_EQ(response.failed_login, c.want_flag);
    if (c.want_reason != nullptr) {
      EXPECT_STREQ(response.signature, "");  // refusals are never signed
      EXPECT_EQ(body, error_body("unauthorized", c.want_reason));
      EXPECT_NE(capture.peek().find(std::string("WARN  vrk_sched API: GET /api/v1/info from "
                                                "192.0.2.1 refused: ") +
                                    c.want_reason),
                std::string::npos);
    }
  }
  std::string log = capture.text();
  EXPECT_EQ(log.find(kAdminSecret), std::string::npos);
  EXPECT_EQ(log.find(kReadSecret), std::string::npos);
}

TEST_F(ApiHandleTest, RateLimitAnswers503WithoutTheFlag) {
  int64_t now = clock_unix_now();
  for (ApiNonceEntry& e : state->nonce_cache.entries) {
    text_copy_cut(e.nonce, std::string(32, '1'));
    e.time = now;
  }
  std::string body = handle(signed_value("admin1", kAdminSecret, std::string(32, 'c')));
  EXPECT_EQ(response.status, 503u);
  EXPECT_EQ(response.failed_login, 0u);
  EXPECT_EQ(body, error_body("unavailable", "too many signed requests in the last minutes"));
}

TEST_F(ApiHandleTest, DisabledApiAnswers503) {
  config->api.enabled = 0;
  std::string body = handle("Bearer reader." + kReadSecret);
  EXPECT_EQ(response.status, 503u);
  EXPECT_EQ(body, error_body("unavailable", "the API is disabled"));
}

TEST_F(ApiHandleTest, TokensFileFollowsItsChanges) {
  const std::string bearer = "Bearer reader." + kReadSecret;
  const std::string unusable =
      error_body("unavailable", "the API's token file cannot be used (see the server log)");
  StderrCapture capture;
  EXPECT_EQ(handle(bearer).substr(0, 14), "{\"api_version\"");
  EXPECT_NE(capture.peek().find("INFO  vrk_sched API: 2 token(s) loaded from " + tokens_path),
            std::string::npos);

  // Group-readable: refused, logged once, and every request answers 503 until it changes.
  let_the_clock_tick();
  ASSERT_EQ(chmod(tokens_path.c_str(), 0640), 0);
  EXPECT_EQ(handle(bearer), unusable);
  EXPECT_EQ(response.status, 503u);
  EXPECT_EQ(handle(bearer), unusable);
  std::string log = capture.peek();
  std::string refused = "ERROR vrk_sched API: " + tokens_path +
                        " must not be accessible by group/others (chmod 600) -- every API "
                        "request is refused until this is fixed";
  size_t at = log.find(refused);
  EXPECT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.find(refused, at + 1), std::string::npos);

  // The chmod 600 the message asks for is enough.
  let_the_clock_tick();
  ASSERT_EQ(chmod(tokens_path.c_str(), 0600), 0);
  handle(bearer);
  EXPECT_EQ(response.status, 200u);

  // A new file with only the admin token: the read token is unknown from the next request on.
  let_the_clock_tick();
  ASSERT_TRUE(write_file(tokens_path, "admin1 admin 1 " + kAdminSecret + "\n", 0600));
  EXPECT_EQ(handle(bearer), error_body("unauthorized", "unknown token"));

  // Deleted: an empty table.
  ASSERT_EQ(unlink(tokens_path.c_str()), 0);
  EXPECT_EQ(handle("Bearer admin1." + kAdminSecret), error_body("unauthorized", "unknown token"));
  EXPECT_NE(capture.peek().find("0 token(s) loaded from " + tokens_path), std::string::npos);

  // Another path in the configuration is loaded at once.
  std::string other = dir + "/other";
  ASSERT_TRUE(write_file(other, kTokensText, 0600));
  text_copy_cut(config->api.tokens_file, other);
  handle(bearer);
  EXPECT_EQ(response.status, 200u);
  EXPECT_EQ(capture.text().find(kReadSecret), std::string::npos);
}

TEST_F(ApiHandleTest, ChangesAreLoggedAtInfo) {
  text_copy_cut(request.method, "DELETE");
  StderrCapture capture;
  handle(signed_value("admin1", kAdminSecret, std::string(32, 'd')));
  EXPECT_EQ(response.status, 405u);
  EXPECT_NE(capture.text().find("INFO  vrk_sched API: token 'admin1' from 192.0.2.1: DELETE "
                                "/api/v1/info"),
            std::string::npos);
}

TEST_F(ApiHandleTest, UnreadableConfigurationGives500) {
  ASSERT_EQ(unlink(config_path.c_str()), 0);
  std::string body = handle("Bearer reader." + kReadSecret);
  EXPECT_EQ(response.status, 500u);
  EXPECT_EQ(body, error_body("config_unreadable", "cannot read " + config_path));
}

}  // namespace
}  // namespace vrk
