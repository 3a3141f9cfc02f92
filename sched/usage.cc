#include "sched/usage.h"

#include "common/version.h"
#include "sched/config.h"
#include "sched/queue.h"
#include "sched/settings.h"

namespace vrk {

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

}  // namespace vrk
