// The common step of every configuration change through the API (jobs and settings): the new
// text is validated and written with a history copy, the daemon is told to reload, the change
// is logged and, when wanted, mailed to the administrators as a line diff.
#pragma once

#include <string_view>

#include "sched/api/config_snapshot.h"
#include "sched/api/json_writer.h"

namespace vrk {

inline constexpr size_t kApiNoticeSubjectSize = 512;
inline constexpr size_t kApiNoticeBodySize = 49152;

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
