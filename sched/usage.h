// The usage text of vrk_sched, printed by the entry and by a command called without its
// required words.
#pragma once

#include <stdio.h>

namespace vrk {

// The usage text on out: the version line, the synopsis, one paragraph per command, the
// defaults and the logging options.
void sched_print_usage(FILE* out);

}  // namespace vrk
