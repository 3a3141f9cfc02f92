#include "sched/entry.h"

#include <stdlib.h>
#include <string.h>

#include "common/error.h"
#include "common/log.h"
#include "common/runlog.h"
#include "common/selftest.h"
#include "common/text.h"
#include "sched/cmd_list.h"
#include "sched/cmd_mail_test.h"
#include "sched/cmd_run.h"
#include "sched/cmd_validate.h"
#include "sched/daemon.h"
#include "sched/queue.h"

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

uint32_t flag_number(const char* text) {
  return static_cast<uint32_t>(strtoul(text, nullptr, 10));
}

int not_available() {
  fprintf(stderr, "error: not available yet\n");
  return 1;
}

}  // namespace

const CommandSpec kCommandTable[] = {
    {"daemon", kDaemonOptions, 1},      {"list", kPlainOptions, 1},
    {"validate", kPlainOptions, 1},     {"mail-test", kPlainOptions, 1},
    {"api-init", kApiInitOptions, 1},   {"api-info", kPlainOptions, 1},
    {"api-token", kApiTokenOptions, 3}, {"run", kRunOptions, 2},
    {"start", kRunOptions, 2},          {nullptr, nullptr, 0},
};

const CommandSpec* command_spec_find(const char* name) {
  for (const CommandSpec* c = kCommandTable; c->name; ++c) {
    if (strcmp(c->name, name) == 0) {
      return c;
    }
  }
  return nullptr;
}

int sched_settings_resolve(int argc, char** argv, const SchedConfig& cfg, SchedSettings& out,
                           std::span<char> err) {
  if (!err.empty()) {
    err[0] = '\0';
  }
  SchedSettings s;
  if (const char* v = cli_value(argc, argv, "--poll-interval", nullptr)) {
    s.poll_interval = flag_number(v);
  } else if (cfg.poll_interval != 0) {
    s.poll_interval = cfg.poll_interval;
  }
  if (const char* v = cli_value(argc, argv, "--busy-retry-seconds", nullptr)) {
    s.busy_retry_seconds = flag_number(v);
  } else if (cfg.busy_retry_seconds != 0) {
    s.busy_retry_seconds = cfg.busy_retry_seconds;
  } else {
    s.busy_retry_seconds = s.poll_interval;
  }
  if (const char* v = cli_value(argc, argv, "--job-timeout-seconds", nullptr)) {
    s.job_timeout_seconds = flag_number(v);
  } else if (cfg.job_timeout_seconds != 0) {
    s.job_timeout_seconds = cfg.job_timeout_seconds;
  }
  if (const char* v = cli_value(argc, argv, "--job-log-dir", nullptr)) {
    if (!text_copy(s.job_log_dir, v)) {
      err_set(err, "--job-log-dir is too long (at most %zu bytes)", sizeof s.job_log_dir - 1);
      return -1;
    }
  } else if (cfg.job_log_dir[0] != '\0') {
    text_copy_cut(s.job_log_dir, cfg.job_log_dir);
  } else {
    text_copy_cut(s.job_log_dir, kDefaultJobLogDir);
  }
  if (const char* v = cli_value(argc, argv, "--job-log-keep", nullptr)) {
    s.job_log_keep = flag_number(v);
  } else if (cfg.job_log_keep != 0) {
    s.job_log_keep = cfg.job_log_keep;
  }
  out = s;
  return 0;
}

void sched_print_usage(FILE* out) {
  fprintf(out, "vrk_sched %s (build %s)\n\n", kVersion, kBuild);
  fputs(
      "Usage: vrk_sched daemon   --config <path> [--queue <path>] [--poll-interval <s>]\n"
      "                           [--busy-retry-seconds <n>] [--job-timeout-seconds <n>]\n"
      "                           [--job-log-dir <dir>] [--job-log-keep <n>]\n"
      "       vrk_sched list     [--config <path>] [--queue <path>]\n"
      "       vrk_sched run      <job-name> [--config <path>] [--queue <path>] [--force]\n"
      "                           [--job-timeout-seconds <n>] [--job-log-dir <dir>] "
      "[--job-log-keep <n>]\n"
      "                           [--background | --no-background]\n"
      "       vrk_sched start    <job-name> [same options as run]\n"
      "       vrk_sched validate [--config <path>]\n"
      "       vrk_sched mail-test [--config <path>]\n"
      "       vrk_sched api-init [--config <path>] [--cn <name>] [--force]\n"
      "       vrk_sched api-info [--config <path>]\n"
      "       vrk_sched api-token add <name> --role read|admin [--config <path>]\n"
      "       vrk_sched api-token list|remove <name> [--config <path>]\n"
      "\n"
      "Runs the backup suite's programs (vrk_agent, vrk_proxmox, vrk_xenV, the restore\n"
      "programs, vrk_verifier, vrk_maintenance) on a cron-style schedule, once at a given\n"
      "time, or after another job has finished. Schedules and once times are matched in the\n"
      "server's local time zone, not in UTC.\n"
      "\n"
      "daemon     runs until SIGTERM/SIGINT and re-reads --config whenever it changes on disk.\n"
      "           Jobs run strictly one after another. Meant as a long-lived service.\n"
      "\n"
      "list       shows every job with its state, next run and last result. Read-only: never\n"
      "           creates or modifies --queue. Rows are coloured on a terminal; NO_COLOR turns\n"
      "           that off.\n"
      "\n"
      "run        starts one job now, ignoring its schedule and dependencies: the controlled,\n"
      "           logged, on-demand path for restore jobs and ad-hoc backups. While any job is\n"
      "           RUNNING, run and start refuse with exit code 1 and the daemon starts nothing;\n"
      "           --force runs alongside. A RUNNING entry whose process is gone is set to\n"
      "           FAILED.\n"
      "\n"
      "start      as run, but returns at once: the job runs detached and its messages go to\n"
      "           syslog. An unknown or RUNNING job is reported at once with exit code 1.\n"
      "\n"
      "--background is passed to the agent for agent, proxmox and xenv jobs only. run\n"
      "           defaults to --no-background, start to --background; the job keys\n"
      "           run-background= and start-background= change that per job; an explicit flag\n"
      "           always wins. --no-background only means that nothing is added.\n"
      "\n"
      "validate   loads --config and builds every job's command line without running\n"
      "           anything; prints \"OK\" and exits 0, or prints the first error and exits 1.\n"
      "\n"
      "mail-test  sends a test mail with the [mail] settings of --config.\n"
      "\n"
      "api-init   creates the API's TLS key and self-signed certificate (--cn names it;\n"
      "           --force replaces existing files). api-info shows the API settings and the\n"
      "           certificate fingerprint. api-token adds, lists or removes API tokens.\n"
      "\n"
      "Network access: this program itself never talks to the network. Mail (notify=never|\n"
      "failed|always) and the configuration API are handled by vrk_sched_net, started as the\n"
      "unprivileged 'arvenna-api' account.\n"
      "\n",
      out);
  fprintf(out,
          "Defaults: --config defaults to\n%s, --queue defaults to\n%s.\n"
          "Job settings come from the command line, then from [sched]; an explicit CLI flag "
          "always wins, built-in defaults are\n%us / poll-interval / %us / %s / %u.\n"
          "(poll interval / busy retry / job timeout / job log directory / job log keep)\n"
          "\n",
          config_default_path(), kQueueDefaultPath, kDefaultPollInterval, kDefaultJobTimeout,
          kDefaultJobLogDir, kDefaultJobLogKeep);
  fputs(
      "Logging options (every command): --no-syslog, --no-log, --syslog <mask> (default 1),\n"
      "--log <mask> (default 1), --log-path <dir> (default /var/log/vrk/).\n"
      "Mask bit 0 = one entry at program start and one at program end.\n",
      out);
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
  const char* config_path = cli_value(argc, argv, "--config", config_default_path());
  const char* queue_path = cli_value(argc, argv, "--queue", kQueueDefaultPath);
  if (strcmp(word, "validate") == 0) {
    return cmd_validate(config_path);
  }
  if (strcmp(word, "daemon") == 0) {
    return cmd_daemon(config_path, queue_path, argc, argv);
  }
  if (strcmp(word, "list") == 0) {
    return cmd_list(config_path, queue_path);
  }
  if (strcmp(word, "mail-test") == 0) {
    return cmd_mail_test(config_path);
  }
  if (strcmp(word, "run") == 0 || strcmp(word, "start") == 0) {
    return cmd_run_start(config_path, queue_path, argc, argv, strcmp(word, "start") == 0);
  }
  return not_available();
}

}  // namespace vrk
