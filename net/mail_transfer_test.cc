#include "net/mail_transfer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/clock.h"
#include "common/fd.h"
#include "common/text.h"
#include "net/mail_compose.h"

namespace vrk {
namespace {

constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kUser = "mailer";
constexpr const char* kPassword = "s3cret-pass";
// Generous: the machine is shared; every wait in these tests ends by itself.
constexpr int64_t kServerStartMs = 30000;
constexpr int64_t kDeliveryLimitMs = 30000;

void curl_init_once() {
  static const bool done = curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK;
  ASSERT_TRUE(done);
}

std::string script_path() {
  return VRK_SMTP_SERVER_SCRIPT;
}

std::string read_file(const std::string& path) {
  std::string data;
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) {
    return data;
  }
  char buf[8192];
  size_t n = 0;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) {
    data.append(buf, n);
  }
  fclose(f);
  return data;
}

void write_file(const std::string& path, const std::string& data) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  fwrite(data.data(), 1, data.size(), f);
  fclose(f);
}

// Names in dir ending in suffix, sorted.
std::vector<std::string> list_dir(const std::string& dir, std::string_view suffix) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) {
    return names;
  }
  while (dirent* e = readdir(d)) {
    std::string_view name = e->d_name;
    if (name[0] != '.' && name.size() > suffix.size() &&
        name.substr(name.size() - suffix.size()) == suffix) {
      names.emplace_back(name);
    }
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path);
}

void remove_tree(const std::string& dir) {
  nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

// Runs a program to completion with its output in log; returns its exit status or -1.
int run(std::vector<std::string> args, const std::string& log) {
  std::vector<char*> argv;
  for (std::string& a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
    return -1;
  }
  return WEXITSTATUS(status);
}

// A port on 127.0.0.1 with nobody listening: bound once, then released.
int unused_port() {
  UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  if (bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
      getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    return -1;
  }
  return ntohs(a.sin_port);
}

// One test server process; it ends when its standard input is closed.
struct SmtpServer {
  const char* name = "";
  const char* mode = "";
  pid_t pid = -1;
  UniqueFd input;
  UniqueFd output;
  int port = 0;
  std::string dir;
};

SmtpServer make_server(const char* name, const char* mode) {
  SmtpServer s;
  s.name = name;
  s.mode = mode;
  return s;
}

bool spawn_server(SmtpServer& s, const std::string& root, std::vector<std::string> extra) {
  s.dir = root + "/" + s.name;
  if (mkdir(s.dir.c_str(), 0700) != 0 && errno != EEXIST) {
    return false;
  }
  std::string log = s.dir + ".log";
  std::vector<std::string> args = {kPython, script_path(), "--mode", s.mode, "--dir", s.dir};
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (std::string& a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0) {
    return false;
  }
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return false;
  }
  fflush(nullptr);
  s.pid = fork();
  if (s.pid == 0) {
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(in[0], 0);
    dup2(out[1], 1);
    if (fd >= 0) {
      dup2(fd, 2);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  s.input.reset(in[1]);
  s.output.reset(out[0]);
  return s.pid > 0;
}

// Reads "PORT <n>" within the deadline. Returns 0, or the exit status of a server that ended
// (3: the SMTP library is missing), or -1.
int await_port(SmtpServer& s, int64_t deadline_ms) {
  std::string line;
  while (line.find('\n') == std::string::npos) {
    int64_t left = deadline_ms - clock_monotonic_ms();
    if (left <= 0) {
      return -1;
    }
    pollfd p = {s.output.get(), POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) {
      continue;
    }
    char buf[64];
    ssize_t n = read(s.output.get(), buf, sizeof(buf));
    if (n <= 0) {
      int status = 0;
      waitpid(s.pid, &status, 0);
      s.pid = -1;
      return WIFEXITED(status) && WEXITSTATUS(status) != 0 ? WEXITSTATUS(status) : -1;
    }
    line.append(buf, static_cast<size_t>(n));
  }
  return sscanf(line.c_str(), "PORT %d", &s.port) == 1 ? 0 : -1;
}

void stop_server(SmtpServer& s) {
  s.input.reset();
  if (s.pid <= 0) {
    return;
  }
  kill(s.pid, SIGTERM);
  int64_t deadline = clock_monotonic_ms() + 5000;
  while (clock_monotonic_ms() < deadline) {
    if (waitpid(s.pid, nullptr, WNOHANG) == s.pid) {
      s.pid = -1;
      return;
    }
    usleep(20000);
  }
  kill(s.pid, SIGKILL);
  waitpid(s.pid, nullptr, 0);
  s.pid = -1;
}

struct Delivery {
  uint32_t mail_id = 0;
  CURLcode code = CURLE_OK;
  int rc = 0;
  std::string text;
  size_t read_position = 0;
  size_t length = 0;
  int64_t elapsed_ms = 0;
};

// Runs the transfers together on one multi handle until each is done, the way the network
// process's loop does, within a bounded time; results come in completion order.
std::vector<Delivery> deliver(std::vector<MailTransferPtr> transfers) {
  std::vector<Delivery> done;
  CurlMultiPtr multi(curl_multi_init());
  if (!multi) {
    ADD_FAILURE() << "curl_multi_init failed";
    return done;
  }
  std::vector<MailTransfer*> running;
  for (MailTransferPtr& t : transfers) {
    if (curl_multi_add_handle(multi.get(), t->handle.get()) != CURLM_OK) {
      ADD_FAILURE() << "curl_multi_add_handle failed";
      continue;
    }
    running.push_back(t.release());
  }
  int64_t start = clock_monotonic_ms();
  while (!running.empty() && clock_monotonic_ms() - start < kDeliveryLimitMs) {
    int still = 0;
    curl_multi_perform(multi.get(), &still);
    int left = 0;
    while (CURLMsg* m = curl_multi_info_read(multi.get(), &left)) {
      if (m->msg != CURLMSG_DONE) {
        continue;
      }
      CURL* easy = m->easy_handle;
      CURLcode code = m->data.result;
      MailTransfer* t = mail_transfer_of(easy);
      if (t == nullptr) {
        ADD_FAILURE() << "no transfer behind a finished handle";
        continue;
      }
      curl_multi_remove_handle(multi.get(), easy);
      running.erase(std::find(running.begin(), running.end(), t));
      Delivery d;
      d.mail_id = t->mail_id;
      d.code = code;
      char text[kMailTextSize];
      d.rc = mail_transfer_result(*t, code, text);
      d.text = text;
      d.read_position = t->read_position;
      d.length = t->message_length;
      d.elapsed_ms = clock_monotonic_ms() - start;
      mail_transfer_free(t);
      done.push_back(d);
    }
    if (!running.empty()) {
      curl_multi_poll(multi.get(), nullptr, 0, 100, nullptr);
    }
  }
  EXPECT_TRUE(running.empty()) << running.size() << " transfer(s) did not finish in time";
  for (MailTransfer* t : running) {
    curl_multi_remove_handle(multi.get(), t->handle.get());
    mail_transfer_free(t);
  }
  return done;
}

MailSettings make_settings(const char* host, int port, uint32_t tls_mode,
                           std::vector<const char*> to) {
  MailSettings s;
  s.enabled = 1;
  EXPECT_TRUE(text_copy(s.smtp_host, host));
  s.smtp_port = static_cast<uint32_t>(port);
  s.tls_mode = tls_mode;
  EXPECT_TRUE(text_copy(s.from, "sched@example.org"));
  for (const char* r : to) {
    EXPECT_TRUE(text_copy(s.recipients[s.recipient_count++], r));
  }
  s.timeout_seconds = 20;
  return s;
}

void set_login(MailSettings& s, const char* password) {
  EXPECT_TRUE(text_copy(s.smtp_user, kUser));
  EXPECT_TRUE(text_copy(s.smtp_password, password));
}

std::string compose(const MailSettings& s, std::string_view subject, std::string_view body) {
  std::vector<char> out(kMailMessageSize);
  long n = mail_compose(s, subject, body, 1700000000, "backup1", out);
  EXPECT_GT(n, 0);
  return n > 0 ? std::string(out.data(), static_cast<size_t>(n)) : std::string();
}

MailTransferPtr make_transfer(const MailSettings& s, const std::string& message) {
  char err[kMailTextSize];
  MailTransferPtr t = mail_transfer_new(s, message.data(), message.size(), err);
  EXPECT_TRUE(t) << err;
  EXPECT_STREQ(err, "");
  return t;
}

Delivery deliver_one(const MailSettings& s, const std::string& message) {
  std::vector<MailTransferPtr> ts;
  ts.push_back(make_transfer(s, message));
  if (!ts.back()) {
    return Delivery{0, CURLE_FAILED_INIT, -1, "not created"};
  }
  std::vector<Delivery> d = deliver(std::move(ts));
  return d.size() == 1 ? d[0] : Delivery{0, CURLE_FAILED_INIT, -1, "not finished"};
}

TEST(MailTransferNew, SetsUpUrlAndOwnsItsCopy) {
  curl_init_once();
  struct Case {
    const char* host;
    int port;
    uint32_t tls_mode;
    const char* want_url;
  };
  const Case cases[] = {
      {"127.0.0.1", 25, kMailTlsNone, "smtp://127.0.0.1:25"},
      {"mail.example.org", 587, kMailTlsStarttls, "smtp://mail.example.org:587"},
      {"mail.example.org", 465, kMailTlsSmtps, "smtps://mail.example.org:465"},
      {"::1", 25, kMailTlsNone, "smtp://[::1]:25"},
      {"2001:db8::25", 465, kMailTlsSmtps, "smtps://[2001:db8::25]:465"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want_url);
    MailSettings s = make_settings(c.host, c.port, c.tls_mode, {"a@example.org"});
    std::string message = "Subject: x\r\n\r\nbody\r\n";
    MailTransferPtr t = make_transfer(s, message);
    ASSERT_TRUE(t);
    EXPECT_STREQ(t->url, c.want_url);
    EXPECT_EQ(mail_transfer_of(t->handle.get()), t.get());
    EXPECT_EQ(t->mail_id, 0u);
    EXPECT_EQ(t->read_position, 0u);
    ASSERT_EQ(t->message_length, message.size());
    EXPECT_NE(t->message.get(), message.data());
    EXPECT_EQ(std::string(t->message.get(), t->message_length), message);
  }
  mail_transfer_free(nullptr);
}

TEST(MailTransferResult, TextIsReasonAndUrl) {
  curl_init_once();
  MailSettings s = make_settings("127.0.0.1", 2525, kMailTlsNone, {"a@example.org"});
  struct Case {
    CURLcode code;
    std::string error_buffer;
    int want_rc;
    std::string want;
  };
  const Case cases[] = {
      {CURLE_OK, "", 0, ""},
      {CURLE_OK, "left over", 0, ""},
      {CURLE_COULDNT_CONNECT, "", -1, "Couldn't connect to server (smtp://127.0.0.1:2525)"},
      {CURLE_LOGIN_DENIED, "Authentication failed: 535", -1,
       "Authentication failed: 535 (smtp://127.0.0.1:2525)"},
      {CURLE_SEND_ERROR, "RCPT failed:\r\n550\n", -1, "RCPT failed:  550  (smtp://127.0.0.1:2525)"},
      // Cut to the 399 bytes a MAIL_RESULT text may carry.
      {CURLE_RECV_ERROR, std::string(CURL_ERROR_SIZE - 1, 'e'), -1,
       std::string(CURL_ERROR_SIZE - 1, 'e') + " (smtp://127.0.0.1:2525)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    MailTransferPtr t = make_transfer(s, "x");
    ASSERT_TRUE(t);
    ASSERT_TRUE(text_copy(t->error, c.error_buffer));
    char text[kMailTextSize];
    EXPECT_EQ(mail_transfer_result(*t, c.code, text), c.want_rc);
    EXPECT_EQ(text, c.want.substr(0, kMailTextSize - 1));
  }
}

// Deliveries against real SMTP servers on 127.0.0.1: plain, STARTTLS, implicit TLS, one that
// never answers and one that answers DATA late, each started when a test first needs it.
class MailDelivery : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    curl_init_once();
    const char* tmp = getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/vrk_mail_XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      setup_error_ = "mkdtemp failed";
      return;
    }
    root_ = pattern;
    make_certificates();
  }

  // Starts the servers a test needs (once per process, all at the same time) and waits for
  // their ports. Skips the test when the SMTP library is missing; fails when a server does not
  // come up in time.
  void start(std::vector<SmtpServer*> wanted) {
    ASSERT_EQ(setup_error_, "");
    std::vector<SmtpServer*> fresh;
    for (SmtpServer* s : wanted) {
      if (s->port == 0) {
        std::vector<std::string> extra;
        if (s == &starttls_ || s == &smtps_) {
          extra = {"--cert", root_ + "/server.pem", "--key", root_ + "/server.key"};
        }
        if (s == &slow_) {
          extra = {"--delay", "0.1"};
        }
        ASSERT_TRUE(spawn_server(*s, root_, extra)) << "cannot start " << s->name;
        fresh.push_back(s);
      }
    }
    int64_t deadline = clock_monotonic_ms() + kServerStartMs;
    for (SmtpServer* s : fresh) {
      int rc = await_port(*s, deadline);
      if (rc == 3) {
        GTEST_SKIP() << "python3-aiosmtpd is not installed";
      }
      ASSERT_EQ(rc, 0) << "SMTP test server did not start; see " << s->dir << ".log";
    }
    for (SmtpServer* s : wanted) {
      for (const std::string& name : list_dir(s->dir, "")) {
        remove((s->dir + "/" + name).c_str());
      }
    }
  }

  static void TearDownTestSuite() {
    for (SmtpServer* s : servers()) {
      stop_server(*s);
    }
    if (!root_.empty()) {
      remove_tree(root_);
    }
  }

  static std::vector<SmtpServer*> servers() {
    return {&plain_, &starttls_, &smtps_, &silent_, &slow_};
  }

  // A test CA, a server certificate it signs for IP 127.0.0.1, and a second, unrelated CA.
  static void make_certificates() {
    const std::string d = root_ + "/";
    const std::string log = d + "openssl.log";
    write_file(d + "server.ext",
               "subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
               "extendedKeyUsage=serverAuth\n");
    auto new_ca = [&](const std::string& name) {
      return run({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                  "ec_paramgen_curve:P-256", "-nodes", "-keyout", d + name + ".key", "-out",
                  d + name + ".pem", "-days", "2", "-subj", "/CN=" + name},
                 log) == 0;
    };
    bool ok = new_ca("ca") && new_ca("other-ca") &&
              run({"/usr/bin/openssl", "req", "-newkey", "ec", "-pkeyopt",
                   "ec_paramgen_curve:P-256", "-nodes", "-keyout", d + "server.key", "-out",
                   d + "server.csr", "-subj", "/CN=127.0.0.1"},
                  log) == 0 &&
              run({"/usr/bin/openssl", "x509", "-req", "-in", d + "server.csr", "-CA", d + "ca.pem",
                   "-CAkey", d + "ca.key", "-CAcreateserial", "-out", d + "server.pem", "-days",
                   "2", "-extfile", d + "server.ext"},
                  log) == 0;
    if (!ok) {
      setup_error_ = "openssl could not make the test certificates; see " + log;
    }
  }

  static std::string ca() { return root_ + "/ca.pem"; }
  static std::string other_ca() { return root_ + "/other-ca.pem"; }

  static std::string root_;
  static std::string setup_error_;
  static SmtpServer plain_;
  static SmtpServer starttls_;
  static SmtpServer smtps_;
  static SmtpServer silent_;
  static SmtpServer slow_;
};

std::string MailDelivery::root_;
std::string MailDelivery::setup_error_;
SmtpServer MailDelivery::plain_ = make_server("plain", "plain");
SmtpServer MailDelivery::starttls_ = make_server("starttls", "starttls");
SmtpServer MailDelivery::smtps_ = make_server("smtps", "smtps");
SmtpServer MailDelivery::silent_ = make_server("silent", "silent");
SmtpServer MailDelivery::slow_ = make_server("slow", "plain");

size_t longest_line(const std::string& msg) {
  size_t longest = 0;
  size_t start = 0;
  for (size_t p = msg.find("\r\n"); p != std::string::npos; p = msg.find("\r\n", start)) {
    longest = std::max(longest, p - start);
    start = p + 2;
  }
  return std::max(longest, msg.size() - start);
}

TEST_F(MailDelivery, PlainSmtpDeliversTheComposedMessage) {
  start({&plain_});
  if (IsSkipped() || HasFatalFailure()) {
    return;
  }
  MailSettings s = make_settings("127.0.0.1", plain_.port, kMailTlsNone,
                                 {"a@example.org", "b@example.org", "c@example.org"});
  const std::string subject =
      "N\xC3\xA4"
      "chtliche Sicherung: Job nightly fertig \xE2\x9C\x93 alles gut";
  const std::string body = "Job:  nightly\nRule: a < b & c > d\r\n" + std::string(2000, 'x') +
                           "\n.leading dot\nno final break";
  std::string message = compose(s, subject, body);
  Delivery d = deliver_one(s, message);
  EXPECT_EQ(d.rc, 0) << d.text;
  EXPECT_EQ(d.text, "");
  EXPECT_EQ(d.read_position, message.size());

  std::vector<std::string> env = list_dir(plain_.dir, ".env");
  ASSERT_EQ(env.size(), 1u);
  EXPECT_EQ(read_file(plain_.dir + "/" + env[0]),
            "from: sched@example.org\nrcpt: a@example.org\nrcpt: b@example.org\n"
            "rcpt: c@example.org\nauth: -\n");
  std::string got = read_file(plain_.dir + "/" + env[0].substr(0, 4) + ".eml");
  EXPECT_EQ(got, message);

  // The received bytes themselves, independent of the composer.
  EXPECT_NE(
      got.find("\r\nFrom: sched@example.org\r\n"
               "To: a@example.org,\r\n b@example.org,\r\n c@example.org\r\n"
               "Subject: =?UTF-8?B?TsOkY2h0bGljaGUgU2ljaGVydW5nOiBKb2IgbmlnaHRseSBmZXJ0aWcg4pyT?="
               "\r\n =?UTF-8?B?IGFsbGVzIGd1dA==?=\r\nMessage-ID: <1700000000."),
      std::string::npos);
  EXPECT_NE(got.find("8bit\r\n\r\nJob:  nightly\r\nRule: a < b & c > d\r\n" +
                     std::string(990, 'x') + "\r\n" + std::string(990, 'x') + "\r\n" +
                     std::string(20, 'x') + "\r\n.leading dot\r\nno final break\r\n--=_arvenna_"),
            std::string::npos);
  EXPECT_NE(got.find("10pt;\">\r\nJob:  nightly\r\nRule: a &lt; b &amp; c &gt; d\r\n" +
                     std::string(990, 'x') + "\r\n" + std::string(990, 'x') + "\r\n" +
                     std::string(20, 'x') +
                     "\r\n.leading dot\r\nno final break\r\n</pre>\r\n</body></html>\r\n"),
            std::string::npos);
  EXPECT_LE(longest_line(got), kMailLineMax);
}

TEST_F(MailDelivery, StarttlsAndSmtpsLogInOverTls) {
  start({&starttls_, &smtps_});
  if (IsSkipped() || HasFatalFailure()) {
    return;
  }
  struct Case {
    const char* name;
    SmtpServer* server;
    uint32_t tls_mode;
  };
  const Case cases[] = {
      {"STARTTLS", &starttls_, kMailTlsStarttls},
      {"implicit TLS", &smtps_, kMailTlsSmtps},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MailSettings s = make_settings("127.0.0.1", c.server->port, c.tls_mode, {"ops@example.org"});
    set_login(s, kPassword);
    ASSERT_TRUE(text_copy(s.ca_file, ca()));
    std::string message = compose(s, "tls test", "secure body\n");
    Delivery d = deliver_one(s, message);
    EXPECT_EQ(d.rc, 0) << d.text;
    std::vector<std::string> env = list_dir(c.server->dir, ".env");
    ASSERT_EQ(env.size(), 1u);
    EXPECT_EQ(read_file(c.server->dir + "/" + env[0]),
              "from: sched@example.org\nrcpt: ops@example.org\nauth: mailer\n");
    EXPECT_EQ(read_file(c.server->dir + "/" + env[0].substr(0, 4) + ".eml"), message);
    remove((c.server->dir + "/" + env[0]).c_str());
  }
}

TEST_F(MailDelivery, FailuresNameTheReasonAndTheServer) {
  start({&plain_, &starttls_, &smtps_});
  if (IsSkipped() || HasFatalFailure()) {
    return;
  }
  int nobody = unused_port();
  ASSERT_GT(nobody, 0);
  enum class Ca { kNone, kGood, kOther };
  struct Case {
    const char* name;
    const char* host;
    int port;
    uint32_t tls_mode;
    Ca ca;
    const char* password;  // null: no login
    std::vector<const char*> to;
    CURLcode want_code;
    const char* want_in_reason;
    SmtpServer* server;  // whose mailbox must stay empty
  };
  const Case cases[] = {
      {"nobody listening",
       "127.0.0.1",
       nobody,
       kMailTlsNone,
       Ca::kNone,
       nullptr,
       {"ops@example.org"},
       CURLE_COULDNT_CONNECT,
       "onnect",
       nullptr},
      {"STARTTLS required but not offered",
       "127.0.0.1",
       plain_.port,
       kMailTlsStarttls,
       Ca::kGood,
       nullptr,
       {"ops@example.org"},
       CURLE_USE_SSL_FAILED,
       "STARTTLS",
       &plain_},
      {"STARTTLS with a foreign CA",
       "127.0.0.1",
       starttls_.port,
       kMailTlsStarttls,
       Ca::kOther,
       kPassword,
       {"ops@example.org"},
       CURLE_PEER_FAILED_VERIFICATION,
       "certificate",
       &starttls_},
      {"implicit TLS with a foreign CA",
       "127.0.0.1",
       smtps_.port,
       kMailTlsSmtps,
       Ca::kOther,
       kPassword,
       {"ops@example.org"},
       CURLE_PEER_FAILED_VERIFICATION,
       "certificate",
       &smtps_},
      {"implicit TLS with the default trust store",
       "127.0.0.1",
       smtps_.port,
       kMailTlsSmtps,
       Ca::kNone,
       kPassword,
       {"ops@example.org"},
       CURLE_PEER_FAILED_VERIFICATION,
       "certificate",
       &smtps_},
      {"host name not in the certificate",
       "localhost",
       smtps_.port,
       kMailTlsSmtps,
       Ca::kGood,
       kPassword,
       {"ops@example.org"},
       CURLE_PEER_FAILED_VERIFICATION,
       "localhost",
       &smtps_},
      {"wrong password",
       "127.0.0.1",
       starttls_.port,
       kMailTlsStarttls,
       Ca::kGood,
       "wrong",
       {"ops@example.org"},
       CURLE_LOGIN_DENIED,
       "Login denied",
       &starttls_},
      {"refused recipient",
       "127.0.0.1",
       plain_.port,
       kMailTlsNone,
       Ca::kNone,
       nullptr,
       {"ops@example.org", "refused@example.org"},
       CURLE_SEND_ERROR,
       "550",
       &plain_},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MailSettings s = make_settings(c.host, c.port, c.tls_mode, c.to);
    if (c.ca != Ca::kNone) {
      ASSERT_TRUE(text_copy(s.ca_file, c.ca == Ca::kGood ? ca() : other_ca()));
    }
    if (c.password != nullptr) {
      set_login(s, c.password);
    }
    Delivery d = deliver_one(s, compose(s, "must fail", "body\n"));
    EXPECT_EQ(d.rc, -1);
    EXPECT_EQ(d.code, c.want_code) << curl_easy_strerror(d.code);
    char url[64];
    snprintf(url, sizeof(url), " (%s://%s:%d)", c.tls_mode == kMailTlsSmtps ? "smtps" : "smtp",
             c.host, c.port);
    ASSERT_GT(d.text.size(), strlen(url));
    EXPECT_EQ(d.text.substr(d.text.size() - strlen(url)), url);
    EXPECT_NE(d.text.substr(0, d.text.size() - strlen(url)).find(c.want_in_reason),
              std::string::npos)
        << d.text;
    EXPECT_EQ(d.text.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(d.text.find(kPassword), std::string::npos);
    if (c.server != nullptr) {
      EXPECT_TRUE(list_dir(c.server->dir, ".env").empty());
    }
  }
}

TEST_F(MailDelivery, TimesOutOnSilentServerAfterTimeoutSeconds) {
  start({&silent_});
  if (IsSkipped() || HasFatalFailure()) {
    return;
  }
  MailSettings s = make_settings("127.0.0.1", silent_.port, kMailTlsNone, {"ops@example.org"});
  s.timeout_seconds = 1;
  Delivery d = deliver_one(s, compose(s, "never", "answered\n"));
  EXPECT_EQ(d.rc, -1);
  EXPECT_EQ(d.code, CURLE_OPERATION_TIMEDOUT) << d.text;
  EXPECT_GE(d.elapsed_ms, 900);
  char url[64];
  snprintf(url, sizeof(url), " (smtp://127.0.0.1:%d)", silent_.port);
  EXPECT_NE(d.text.find(url), std::string::npos) << d.text;
}

TEST_F(MailDelivery, ConcurrentDeliveriesReportEachMailId) {
  start({&slow_});
  if (IsSkipped() || HasFatalFailure()) {
    return;
  }
  MailSettings s = make_settings("127.0.0.1", slow_.port, kMailTlsNone, {"ops@example.org"});
  std::vector<MailTransferPtr> ts;
  for (uint32_t id = 7; id <= 9; ++id) {
    ts.push_back(make_transfer(s, compose(s, "mail " + std::to_string(id), "body\n")));
    ASSERT_TRUE(ts.back());
    ts.back()->mail_id = id;
  }
  std::vector<Delivery> done = deliver(std::move(ts));
  ASSERT_EQ(done.size(), 3u);
  std::vector<uint32_t> ids;
  for (const Delivery& d : done) {
    EXPECT_EQ(d.rc, 0) << d.text;
    EXPECT_EQ(d.read_position, d.length);
    ids.push_back(d.mail_id);
  }
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<uint32_t>{7, 8, 9}));
  std::vector<std::string> subjects;
  for (const std::string& name : list_dir(slow_.dir, ".eml")) {
    std::string m = read_file(slow_.dir + "/" + name);
    size_t p = m.find("\r\nSubject: ");
    ASSERT_NE(p, std::string::npos);
    subjects.push_back(m.substr(p + 11, m.find("\r\n", p + 2) - p - 11));
  }
  std::sort(subjects.begin(), subjects.end());
  EXPECT_EQ(subjects, (std::vector<std::string>{"mail 7", "mail 8", "mail 9"}));
}

}  // namespace
}  // namespace vrk
