// Program entry and main loop of vrk_sched_net. The loop owns everything the process has: the
// IPC socket to vrk_sched, the mail settings of the last MAIL_CONFIG, the curl multi handle with
// the mail transfers in flight, and the HTTPS listening socket. One thread, one wait per pass.
#pragma once

namespace vrk {

// The whole program; returns the process exit status.
int net_main(int argc, char** argv);

// Everything after the sandbox: transfer engine, HELLO, mail settings, then the main loop until
// an end. Returns the exit status: 0 when vrk_sched closes ipc_fd (or a finished mail cannot be
// reported), 1 on a start-up failure, a protocol violation or a failed wait. listen_fd is the
// API's listening socket, or -1. Logs every end that is not orderly at ERROR.
// Requires: ipc_fd is a SOCK_SEQPACKET socket connected to vrk_sched.
int net_serve(int ipc_fd, int listen_fd);

}  // namespace vrk
