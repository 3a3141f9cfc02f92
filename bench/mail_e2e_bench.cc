// End-to-end mail throughput: N mails handed to one real vrk_sched_net through the supervisor,
// delivered to a local SMTP server (net/testdata/smtp_server.py, no delay); prints mails per
// second until the last MAIL_RESULT is back. Usage: mail_e2e_bench [mails] (default 200).
// Run as a user that may start the network process (root needs the arvenna-api account).

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "common/clock.h"
#include "common/log.h"
#include "sched/net_mail.h"
#include "sched/net_supervisor.h"

namespace {

struct Tally {
  int ok = 0;
  int failed = 0;
};

}  // namespace

int main(int argc, char** argv) {
  int mails = argc > 1 ? atoi(argv[1]) : 200;
  vrk::log_init("mail_e2e_bench", vrk::kLogError);
  char dir[] = "/tmp/vrk-mail-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    return 1;
  }
  std::string script = std::string(VRK_SOURCE_DIR) + "/net/testdata/smtp_server.py";
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
    return 1;
  }
  pid_t server = fork();
  if (server == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    execl("/usr/bin/python3", "python3", script.c_str(), "--mode", "plain", "--dir", dir, "--delay",
          "0", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  char line[64] = {};
  struct pollfd p = {out[0], POLLIN, 0};
  int port = 0;
  if (poll(&p, 1, 20000) <= 0 || read(out[0], line, sizeof line - 1) <= 0 ||
      sscanf(line, "PORT %d", &port) != 1) {
    fprintf(stderr, "the SMTP server did not start\n");
    return 1;
  }
  if (getenv("VRK_SCHED_NET_BIN") == nullptr) {
    setenv("VRK_SCHED_NET_BIN", VRK_SCHED_NET_PATH, 1);
  }

  vrk::NetSupervisor net;
  vrk::net_init(net);
  Tally tally;
  net.mail_result_context = &tally;
  net.mail_result_hook = [](void* ctx, uint32_t, uint32_t status, const char*) {
    auto* t = static_cast<Tally*>(ctx);
    ++(status == 0 ? t->ok : t->failed);
  };
  vrk::MailSettings m;
  m.enabled = 1;
  snprintf(m.smtp_host, sizeof m.smtp_host, "127.0.0.1");
  m.smtp_port = static_cast<uint32_t>(port);
  m.tls_mode = vrk::kMailTlsNone;
  snprintf(m.from, sizeof m.from, "bench@example.org");
  snprintf(m.recipients[0], sizeof m.recipients[0], "admin@example.org");
  m.recipient_count = 1;
  m.timeout_seconds = 60;
  vrk::net_set_mail(net, m);
  // Let the child say HELLO and take its settings before the clock starts.
  vrk::net_wait(net, 500);

  std::string body = "Job:       bench\n" + std::string(2000, 'x') + "\n";
  int64_t t0 = vrk::clock_monotonic_ms();
  int handed = 0;
  for (int i = 0; i < mails; ++i) {
    char subject[64];
    snprintf(subject, sizeof subject, "bench mail %d", i);
    handed += vrk::net_send_mail(net, subject, body.c_str()) != 0;
  }
  int64_t deadline = t0 + 300000;
  while (tally.ok + tally.failed < handed && vrk::clock_monotonic_ms() < deadline) {
    vrk::net_wait(net, 100);
  }
  double secs = static_cast<double>(vrk::clock_monotonic_ms() - t0) / 1000.0;
  printf("%d mails handed over, %d delivered, %d failed in %.2f s: %.1f mails/s\n", handed,
         tally.ok, tally.failed, secs, tally.ok / secs);
  vrk::net_shutdown(net);
  close(in[1]);
  waitpid(server, nullptr, 0);
  std::string rm = std::string("rm -rf ") + dir;
  return system(rm.c_str()) == 0 && tally.ok == mails ? 0 : 1;
}
