#include "client/usage.h"

#include "client/options.h"
#include "common/version.h"

namespace vrk {

void client_print_usage(FILE* out) {
  fprintf(out, "vrk_sched_client %s (build %s)\n\n", kVersion, kBuild);
  fputs(
      "Usage: vrk_sched_client --url https://<host>:<port> (--ca-file <path> | --fingerprint "
      "<XX:XX:...>)\n"
      "                        --token-file <path> <command> [words] [options]\n\n"
      "Commands:\n",
      out);
  for (const CommandSpec* c = kCommandTable; c->name != nullptr; ++c) {
    fprintf(out, "  %s%s%s\n", c->name, c->words[0] ? " " : "", c->words);
  }
  fprintf(out,
          "\n"
          "info       the server's information, policy and limits.\n"
          "jobs       every job (all pages) as one JSON document; job <name> shows one job.\n"
          "put        creates or replaces job <name> with the job JSON read from --file or\n"
          "           standard input; delete removes it. Changes send If-Match: the --if-match\n"
          "           value, else the config_etag read just before.\n"
          "validate   asks whether the job JSON (with \"name\", or <name> given) would be\n"
          "           accepted; exits 1 when it would not.\n"
          "settings   get or put [sched] or [mail] ({\"sched\": {...}} / {\"mail\": {...}} or\n"
          "           {\"mail\": null} from --file or standard input).\n"
          "run        queues a run of <name>; cancel withdraws it or stops the running job;\n"
          "           runs lists the job's runs, newest first.\n"
          "log        writes a run's log (run id, or latest) to standard output; --follow\n"
          "           keeps reading until the run has finished.\n"
          "mail-test  has the server send a test mail and waits up to --wait-seconds (default\n"
          "           %d) for its outcome; exits 1 unless it was sent.\n"
          "metrics    the jobs' state in the Prometheus text format for node_exporter's\n"
          "           textfile collector (see monitoring.txt in /usr/share/doc/vrk-sched/).\n"
          "\n",
          kDefaultWaitSeconds);
  fputs(
      "--ca-file trusts the certificate 'vrk_sched api-init' wrote (the host name in --url\n"
      "must match its CN); --fingerprint pins it by the SHA-256 fingerprint api-init and\n"
      "api-info print. --token-file holds '<name>.<secret>' as 'vrk_sched api-token add'\n"
      "printed it (or the token's line of the server's tokens file) and must not be\n"
      "accessible by group or others. Every request is signed and every answer's\n"
      "X-VRK-Signature checked; an answer without a valid signature is refused.\n"
      "\n"
      "Output: the server's JSON, indented on a terminal. Exit 0 on success, 1 with an\n"
      "\"error:\" line (HTTP status, the server's code and message) otherwise, 2 for usage\n"
      "errors.\n",
      out);
}

}  // namespace vrk
