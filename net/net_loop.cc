#include "net/net_loop.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "common/cli.h"
#include "common/log.h"
#include "common/runlog.h"
#include "common/selftest.h"

namespace vrk {

namespace {

constexpr const char kProgram[] = "vrk_sched_net";

const CliOption kNetOptions[] = {
    {"--ipc-fd", nullptr, true},
    {"--listen-fd", nullptr, true},
    {},
};

// Descriptor numbers come from vrk_sched and are taken as written; a non-number reads as 0.
int parse_fd(const char* text) {
  return static_cast<int>(strtol(text, nullptr, 10));
}

}  // namespace

int net_main(int argc, char** argv) {
  int rc = version_or_selftest(argc, argv, kProgram);
  if (rc >= 0) {
    return rc;
  }
  log_init(kProgram, kLogInfo);
  runlog_init(argc, argv, kProgram);
  cli_check(argc, argv, kNetOptions, 0);

  const char* ipc_text = cli_value(argc, argv, "--ipc-fd", nullptr);
  if (ipc_text == nullptr) {
    fputs(
        "vrk_sched_net is started by vrk_sched itself, not by hand (usage: vrk_sched_net "
        "--ipc-fd <fd> [--listen-fd <fd>])\n",
        stderr);
    return 2;
  }
  const char* listen_text = cli_value(argc, argv, "--listen-fd", nullptr);
  int ipc_fd = parse_fd(ipc_text);
  int listen_fd = listen_text ? parse_fd(listen_text) : -1;
  (void)ipc_fd;
  (void)listen_fd;

  if (geteuid() == 0) {
    log_msg(kLogError, "refusing to run as root: vrk_sched starts this process as the '%s' account",
            "arvenna-api");
    return 2;
  }
  return 1;
}

}  // namespace vrk
