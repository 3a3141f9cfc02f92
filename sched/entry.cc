#include "sched/entry.h"

#include <stdio.h>
#include <string.h>

#include "common/localzone.h"
#include "common/log.h"
#include "common/runlog.h"
#include "common/selftest.h"
#include "sched/cmd_api.h"
#include "sched/cmd_list.h"
#include "sched/cmd_mailtest.h"
#include "sched/cmd_run.h"
#include "sched/cmd_validate.h"
#include "sched/config.h"
#include "sched/daemon.h"
#include "sched/queue.h"
#include "sched/usage.h"

namespace vrk {
namespace {

const CliOption kDaemonOptions[] = {
    {"--config", nullptr, true},
    {"--queue", nullptr, true},
    {"--poll-interval", nullptr, true},
    {"--busy-retry-seconds", nullptr, true},
    {"--job-timeout-seconds", nullptr, true},
    {"--job-log-dir", nullptr, true},
    {"--job-log-keep", nullptr, true},
    {},
};
const CliOption kPlainOptions[] = {
    {"--config", nullptr, true},
    {"--queue", nullptr, true},
    {},
};
const CliOption kApiInitOptions[] = {
    {"--config", nullptr, true},
    {"--queue", nullptr, true},
    {"--cn", nullptr, true},
    {"--force", nullptr, false},
    {},
};
const CliOption kApiTokenOptions[] = {
    {"--config", nullptr, true},
    {"--queue", nullptr, true},
    {"--role", nullptr, true},
    {},
};
const CliOption kRunOptions[] = {
    {"--config", nullptr, true},
    {"--queue", nullptr, true},
    {"--force", nullptr, false},
    {"--job-timeout-seconds", nullptr, true},
    {"--job-log-dir", nullptr, true},
    {"--job-log-keep", nullptr, true},
    {"--background", nullptr, false},
    {"--no-background", nullptr, false},
    {},
};

// Handlers for the commands whose own function takes fewer arguments or a flag.
int handle_list(const char* config_path, const char* queue_path, int, char**) {
  return cmd_list(config_path, queue_path);
}

int handle_validate(const char* config_path, const char*, int, char**) {
  return cmd_validate(config_path);
}

int handle_mailtest(const char* config_path, const char*, int, char**) {
  return cmd_mailtest(config_path);
}

int handle_run(const char* config_path, const char* queue_path, int argc, char** argv) {
  return cmd_run_start(config_path, queue_path, argc, argv, false);
}

int handle_start(const char* config_path, const char* queue_path, int argc, char** argv) {
  return cmd_run_start(config_path, queue_path, argc, argv, true);
}

int handle_api_init(const char* config_path, const char*, int argc, char** argv) {
  return cmd_api_init(config_path, argc, argv);
}

int handle_api_info(const char* config_path, const char*, int, char**) {
  return cmd_api_info(config_path);
}

int handle_api_token(const char* config_path, const char*, int argc, char** argv) {
  return cmd_api_token(config_path, argc, argv);
}

}  // namespace

const CommandSpec kCommandTable[] = {
    {"daemon", kDaemonOptions, 1, cmd_daemon},
    {"list", kPlainOptions, 1, handle_list},
    {"validate", kPlainOptions, 1, handle_validate},
    {"mail-test", kPlainOptions, 1, handle_mailtest},
    {"api-init", kApiInitOptions, 1, handle_api_init},
    {"api-info", kPlainOptions, 1, handle_api_info},
    {"api-token", kApiTokenOptions, 3, handle_api_token},
    {"run", kRunOptions, 2, handle_run},
    {"start", kRunOptions, 2, handle_start},
    {nullptr, nullptr, 0, nullptr},
};

const CommandSpec* command_spec_find(const char* name) {
  for (const CommandSpec* c = kCommandTable; c->name; ++c) {
    if (strcmp(c->name, name) == 0) {
      return c;
    }
  }
  return nullptr;
}

int sched_main(int argc, char** argv) {
  int rc = version_or_selftest(argc, argv, kSchedProgramName);
  if (rc >= 0) {
    return rc;
  }
  log_init(kSchedProgramName, kLogInfo);
  runlog_init(argc, argv, kSchedProgramName);
  if (argc < 2) {
    sched_print_usage(stdout);
    return 2;
  }
  if (cli_flag(argc, argv, "--help") || cli_flag(argc, argv, "-h")) {
    sched_print_usage(stdout);
    return 0;
  }
  const char* word = argv[1];
  const CommandSpec* command = command_spec_find(word);
  if (command == nullptr) {
    sched_print_usage(stdout);
    return 2;
  }
  cli_check(argc, argv, command->options, command->positional);
  // Before anything converts local time: loading the configuration already does (once times).
  localzone_refresh();
  const char* config_path = cli_value(argc, argv, "--config", config_default_path());
  const char* queue_path = cli_value(argc, argv, "--queue", kQueueDefaultPath);
  return command->handler(config_path, queue_path, argc, argv);
}

}  // namespace vrk
