#include "sched/cmd_mailtest.h"

#include <stdio.h>

#include <memory>
#include <new>

#include "common/scope_exit.h"
#include "sched/config.h"
#include "sched/config_load.h"
#include "sched/net_mail.h"
#include "sched/notify.h"

namespace vrk {
namespace {

constexpr int kSubjectSize = 400;
constexpr int kBodySize = 4608;
constexpr int kMailErrSize = 512;

}  // namespace

int cmd_mailtest(const char* config_path) {
  SchedConfigPtr cfg = config_new();
  if (!cfg) {
    fprintf(stderr, "error: out of memory\n");
    return 1;
  }
  ScopeExit release([&] { config_free(*cfg); });
  char err[kConfigErrSize] = "";
  if (config_load(config_path, *cfg, err) != 0) {
    fprintf(stderr, "error: %s\n", err);
    return 1;
  }
  if (cfg->mail.enabled == 0) {
    fprintf(stderr, "error: %s has no [mail] section\n", config_path);
    return 1;
  }
  char host[kNotifyHostSize];
  notify_host_name(host);
  char subject[kSubjectSize];
  snprintf(subject, sizeof subject, "[arvenna] %s: test mail", host);
  char body[kBodySize];
  snprintf(body, sizeof body,
           "This is a test mail from vrk_sched on %s.\nIf you can read it, the [mail] settings "
           "in %s work.\n",
           host, config_path);
  char text[kMailErrSize] = "";
  if (net_mail_once(cfg->mail, subject, body, text) != 0) {
    fprintf(stderr, "error: %s\n", text);
    return 1;
  }
  puts("OK");
  return 0;
}

}  // namespace vrk
