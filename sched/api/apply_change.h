// The common step of every configuration change through the API (jobs and settings): the new
// text is validated and written with a history copy, the daemon is told to reload, the change
// is logged and, when wanted, mailed to the administrators as a line diff. Also the checks every
// change makes before it: permission, the snapshot read and If-Match.
#pragma once

#include <string_view>

#include "sched/api/config_snapshot.h"
#include "sched/api/json_writer.h"

namespace vrk {

inline constexpr size_t kApiNoticeSubjectSize = 512;
inline constexpr size_t kApiNoticeBodySize = 49152;

// An admin token (else 403 "forbidden") and [api] allow-config-write on in the daemon's loaded
// configuration (else 403 "config_write_disabled"), checked in that order. True when the handler
// may go on; otherwise the error response is set.
[[nodiscard]] bool api_change_permitted(ApiCall& call);

// Reads the configuration file into snapshot; on failure answers 500 "config_unreadable" with
// the reader's message. True when the handler may go on.
[[nodiscard]] bool api_snapshot_read(ApiCall& call, ConfigSnapshot& snapshot);

// The request's If-Match against snapshot's ETag: 428 "precondition_required" when absent, 412
// "precondition_failed" when different. True when they match.
[[nodiscard]] bool api_if_match_current(ApiCall& call, const ConfigSnapshot& snapshot);

// Replaces the configuration file (call.state's path) with new_text through config_write,
// keeping [api] history-keep copies of the daemon's loaded configuration in the history
// directory. 0 after the write, with configuration changed set in the state, the INFO line
// "vrk_sched API: token '%s' from %s changed %s: %s" logged and, when [api] notify-changes is on,
// the loaded configuration has a [mail] section and the state has a mail hand-over, a notice
// with the line diff of old_snapshot's text and new_text handed over (its result unused).
// Non-zero with the error response set: 400 "config_invalid" with the loader's message naming
// file and line, 412 "precondition_failed" when the file no longer has old_snapshot's ETag (an
// edit since the snapshot), or 500 "internal" (also logged at ERROR) for any other failure; the
// file is then untouched. The caller writes the success answer.
[[nodiscard]] int api_apply_change(ApiCall& call, const ConfigSnapshot& old_snapshot,
                                   std::string_view new_text, const char* description);

}  // namespace vrk
