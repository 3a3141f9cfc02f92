#include "sched/api/settings.h"

#include <string>

#include <gtest/gtest.h>

#include "sched/api/test_call.h"

namespace vrk {
namespace {

class ApiSettingsTest : public ApiCallTest {};

TEST_F(ApiSettingsTest, SchedValuesOrNull) {
  configure("[sched]\npoll-interval = 30\njob-log-keep = 5\n");
  std::string body = answer("GET", "/api/v1/settings/sched", "", "", TokenRole::kRead);
  ASSERT_EQ(response.status, 200u) << body;
  EXPECT_EQ(body.substr(body.find(",\"sched\":")),
            ",\"sched\":{\"poll_interval\":30,\"busy_retry_seconds\":null,"
            "\"job_timeout_seconds\":null,\"job_log_keep\":5,\"job_log_dir\":null}}");
  configure("[sched]\nbusy-retry-seconds = 60\njob-timeout-seconds = 7200\njob-log-dir = " + dir +
            "/logs\n");
  body = answer("GET", "/api/v1/settings/sched", "", "", TokenRole::kRead);
  EXPECT_EQ(body.substr(body.find(",\"sched\":")),
            ",\"sched\":{\"poll_interval\":null,\"busy_retry_seconds\":60,"
            "\"job_timeout_seconds\":7200,\"job_log_keep\":null,\"job_log_dir\":\"" +
                dir + "/logs\"}}");
}

TEST_F(ApiSettingsTest, MailWithoutTheSectionIsNull) {
  configure("[a]\ncommand = agent\nenabled = no\n");
  std::string body = answer("GET", "/api/v1/settings/mail", "", "", TokenRole::kRead);
  ASSERT_EQ(response.status, 200u) << body;
  EXPECT_EQ(body.substr(body.find(",\"mail\":")), ",\"mail\":null}");
}

TEST_F(ApiSettingsTest, MailNeverShowsThePassword) {
  const std::string secret = "Sup3r-Secret-Passw0rd";
  ASSERT_TRUE(test_write_file(dir + "/pw", secret + "\n"));
  ASSERT_EQ(chmod((dir + "/pw").c_str(), 0600), 0);
  struct Case {
    std::string mail;
    std::string want;
  };
  const std::string head =
      "[mail]\nsmtp-host = mail.example.org\nfrom = backup@example.org\n"
      "to = admin@example.org, ops@example.org\n";
  const Case cases[] = {
      {head,
       "{\"smtp_host\":\"mail.example.org\",\"smtp_port\":587,\"tls\":\"starttls\","
       "\"smtp_user\":null,\"smtp_password_set\":false,\"smtp_password_source\":null,"
       "\"from\":\"backup@example.org\",\"to\":[\"admin@example.org\",\"ops@example.org\"],"
       "\"ca_file\":null,\"timeout_seconds\":60,\"notify\":\"never\"}"},
      {head + "smtp-user = backup\nsmtp-password = \"" + secret +
           "\"\ntls = smtps\nnotify = failed\ntimeout-seconds = 30\n",
       "{\"smtp_host\":\"mail.example.org\",\"smtp_port\":465,\"tls\":\"smtps\","
       "\"smtp_user\":\"backup\",\"smtp_password_set\":true,\"smtp_password_source\":\"literal\","
       "\"from\":\"backup@example.org\",\"to\":[\"admin@example.org\",\"ops@example.org\"],"
       "\"ca_file\":null,\"timeout_seconds\":30,\"notify\":\"failed\"}"},
      {head + "smtp-user = backup\nsmtp-password = file:" + dir +
           "/pw\nsmtp-port = 2525\nnotify = always\nca-file = /etc/ssl/ca.pem\n",
       "{\"smtp_host\":\"mail.example.org\",\"smtp_port\":2525,\"tls\":\"starttls\","
       "\"smtp_user\":\"backup\",\"smtp_password_set\":true,\"smtp_password_source\":\"file\","
       "\"from\":\"backup@example.org\",\"to\":[\"admin@example.org\",\"ops@example.org\"],"
       "\"ca_file\":\"/etc/ssl/ca.pem\",\"timeout_seconds\":60,\"notify\":\"always\"}"},
  };
  for (const Case& c : cases) {
    configure(c.mail);
    std::string body = answer("GET", "/api/v1/settings/mail", "", "", TokenRole::kRead);
    ASSERT_EQ(response.status, 200u);
    EXPECT_TRUE(body.find(secret) == std::string::npos);
    EXPECT_EQ(body.substr(body.find(",\"mail\":")), ",\"mail\":" + c.want + "}");
  }
}

}  // namespace
}  // namespace vrk
