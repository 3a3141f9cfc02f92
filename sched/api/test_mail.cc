#include "sched/api/test_mail.h"

#include <stdio.h>
#include <string.h>

#include <charconv>
#include <string_view>

#include "common/text.h"
#include "sched/api/state.h"
#include "sched/notify.h"

namespace vrk {
namespace {

constexpr size_t kTestMailSubjectSize = 512;
constexpr size_t kTestMailBodySize = 1024;

const char* test_mail_state_word(uint32_t state) {
  switch (state) {
    case kTestMailSent:
      return "sent";
    case kTestMailFailed:
      return "failed";
    default:
      return "pending";
  }
}

// A whole decimal number other than 0 that fits a mail id; 0 otherwise.
uint32_t mail_id_parse(std::string_view text) {
  uint32_t id = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
    return 0;
  }
  return id;
}

}  // namespace

void api_test_mail(ApiCall& call) {
  ApiState& state = *call.state;
  if (state.config == nullptr || state.config->mail.enabled == 0) {
    api_error(call, ApiErrorCode::kMailNotConfigured,
              "there is no [mail] section (in the configuration the daemon has loaded)");
    return;
  }
  if (state.mail_hand_over == nullptr) {
    api_error(call, ApiErrorCode::kUnavailable, "mail cannot be sent right now");
    return;
  }
  char host[kNotifyHostSize];
  notify_host_name(host);
  char subject[kTestMailSubjectSize];
  char body[kTestMailBodySize];
  snprintf(subject, sizeof subject, "[arvenna] %s: test mail", host);
  snprintf(body, sizeof body,
           "This is a test mail from vrk_sched on %s, requested through the API by token '%s' "
           "from %s.\n",
           host, call.token_name, call.request->client_address);
  const uint32_t id = state.mail_hand_over(state.mail_context, subject, body);
  if (id == 0) {
    api_error(call, ApiErrorCode::kUnavailable,
              "the mail could not be handed to the network process");
    return;
  }
  // The oldest slot gives way.
  ApiTestMail& slot = state.test_mails[state.test_mail_next % kApiTestMailSlots];
  slot = ApiTestMail{};
  slot.mail_id = id;
  slot.state = kTestMailPending;
  state.test_mail_next = (state.test_mail_next + 1) % kApiTestMailSlots;
  JsonWriter& w = call.writer;
  json_begin_object(w);
  json_key(w, "mail_id");
  json_int(w, id);
  json_end_object(w);
  api_finish(call, 202);
}

void api_mail_result(ApiCall& call, const char* id_text) {
  const uint32_t id = mail_id_parse(id_text);
  if (id == 0) {
    api_error(call, ApiErrorCode::kNotFound, "no such mail");
    return;
  }
  for (const ApiTestMail& slot : call.state->test_mails) {
    if (slot.mail_id != id) {
      continue;
    }
    JsonWriter& w = call.writer;
    json_begin_object(w);
    json_key(w, "mail_id");
    json_int(w, id);
    json_key(w, "state");
    const char* word = test_mail_state_word(slot.state);
    json_string(w, word, strlen(word), 0);
    json_key(w, "error");
    json_string_or_null(w, slot.error);
    json_end_object(w);
    api_finish(call, 200);
    return;
  }
  api_error(call, ApiErrorCode::kNotFound,
            "no such mail (only the last %d test mails are remembered)", kApiTestMailSlots);
}

}  // namespace vrk
