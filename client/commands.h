// The commands of vrk_sched_client and its entry: read the options and the token, open the
// HTTPS session, run one command, print the server's JSON or an "error:" line.
#pragma once

namespace vrk {

// The whole program; returns its exit status (0 success, 1 failure, 2 usage error).
int client_main(int argc, char** argv);

}  // namespace vrk
