// The usage text of vrk_sched_client.
#pragma once

#include <stdio.h>

namespace vrk {

// The version line, the synopsis, one paragraph per command and the options, on out.
void client_print_usage(FILE* out);

}  // namespace vrk
