// Program entry of vrk_sched: start-up order, the command table, the usage text and dispatch.
#pragma once

namespace vrk {

// The whole program; returns the process exit status.
int sched_main(int argc, char** argv);

}  // namespace vrk
