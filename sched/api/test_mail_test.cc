#include "sched/api/test_mail.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sched/api/test_call.h"
#include "sched/notify.h"

namespace vrk {
namespace {

const char kMail[] =
    "[mail]\nsmtp-host = mail.example.org\nfrom = backup@example.org\nto = admin@example.org\n";

// Stands in for the network process: records what it is handed and answers the next id.
struct FakeNet {
  uint32_t next_id = 7;
  std::vector<std::string> subjects;
  std::vector<std::string> bodies;
};

uint32_t fake_hand_over(void* context, const char* subject, const char* body) {
  auto* net = static_cast<FakeNet*>(context);
  net->subjects.push_back(subject);
  net->bodies.push_back(body);
  return net->next_id == 0 ? 0 : net->next_id++;
}

class ApiTestMailTest : public ApiCallTest {
 protected:
  void SetUp() override {
    ApiCallTest::SetUp();
    configure(kMail);
    state->mail_hand_over = fake_hand_over;
    state->mail_context = &net;
  }

  std::string send() { return answer("POST", "/api/v1/mail/test"); }
  std::string result(const std::string& id) { return answer("GET", "/api/v1/mail/results/" + id); }

  FakeNet net;
};

std::string outcome(int id, const char* word, const char* error) {
  return "{\"mail_id\":" + std::to_string(id) + ",\"state\":\"" + word +
         "\",\"error\":" + (error ? std::string("\"") + error + "\"" : std::string("null")) + "}";
}

TEST_F(ApiTestMailTest, HandsTheMailOverAndTellsItsOutcome) {
  EXPECT_EQ(send(), "{\"mail_id\":7}");
  EXPECT_EQ(response.status, 202u);
  char host[kNotifyHostSize];
  notify_host_name(host);
  ASSERT_EQ(net.subjects.size(), 1u);
  EXPECT_EQ(net.subjects[0], std::string("[arvenna] ") + host + ": test mail");
  EXPECT_EQ(net.bodies[0], std::string("This is a test mail from vrk_sched on ") + host +
                               ", requested through the API by token 'tester' from 192.0.2.1.\n");
  EXPECT_EQ(result("7"), outcome(7, "pending", nullptr));
  EXPECT_EQ(response.status, 200u);
  EXPECT_EQ(send(), "{\"mail_id\":8}");

  api_note_mail_result(*state, 7, true, "550 5.1.1 mailbox unavailable");
  api_note_mail_result(*state, 8, false, "ignored");
  api_note_mail_result(*state, 99, true, "not a test mail");
  EXPECT_EQ(result("7"), outcome(7, "failed", "550 5.1.1 mailbox unavailable"));
  EXPECT_EQ(result("8"), outcome(8, "sent", nullptr));
}

TEST_F(ApiTestMailTest, Refusals) {
  net.next_id = 0;
  EXPECT_EQ(send(),
            test_error_body("unavailable", "the mail could not be handed to the network process"));
  EXPECT_EQ(response.status, 503u);
  state->mail_hand_over = nullptr;
  EXPECT_EQ(send(), test_error_body("unavailable", "mail cannot be sent right now"));
  EXPECT_EQ(response.status, 503u);
  configure("[sched]\npoll-interval = 5\n");
  EXPECT_EQ(send(), test_error_body("mail_not_configured",
                                    "there is no [mail] section (in the configuration the daemon "
                                    "has loaded)"));
  EXPECT_EQ(response.status, 409u);
  EXPECT_EQ(state->test_mails[0].mail_id, 0u);
}

TEST_F(ApiTestMailTest, OnlyTheLastSixteenAreRemembered) {
  for (int i = 0; i < kApiTestMailSlots + 1; ++i) {
    EXPECT_EQ(send(), "{\"mail_id\":" + std::to_string(7 + i) + "}");
  }
  const std::string forgotten =
      test_error_body("not_found", "no such mail (only the last 16 test mails are remembered)");
  EXPECT_EQ(result("7"), forgotten);
  EXPECT_EQ(response.status, 404u);
  EXPECT_EQ(result("8"), outcome(8, "pending", nullptr));
  EXPECT_EQ(result("23"), outcome(23, "pending", nullptr));
  EXPECT_EQ(result("24"), forgotten);
  for (const char* id : {"0", "abc", "12x", "-1", "+8", " 8", "4294967296"}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(result(id), test_error_body("not_found", "no such mail"));
    EXPECT_EQ(response.status, 404u);
  }
}

}  // namespace
}  // namespace vrk
