// Program entry and main loop of vrk_sched_net.
#pragma once

namespace vrk {

// The whole program; returns the process exit status.
int net_main(int argc, char** argv);

}  // namespace vrk
