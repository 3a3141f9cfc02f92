// Test mails through the API: POST /mail/test hands one mail to the network process and keeps
// its id in ApiState's ring of the last 16 test mails; GET /mail/results/<id> tells its state as
// the MAIL_RESULT messages have set it (api_note_mail_result).
#pragma once

#include "sched/api/json_writer.h"

namespace vrk {

// POST /mail/test: 202 {"mail_id":<id>}; 409 without a [mail] section in the daemon's loaded
// configuration, 503 when the mail cannot be handed over.
void api_test_mail(ApiCall& call);

// GET /mail/results/<id>: 200 with "pending", "sent" or "failed" and the error text; 404 for an
// id that is not a decimal number other than 0, or that the ring no longer holds.
void api_mail_result(ApiCall& call, const char* id_text);

}  // namespace vrk
