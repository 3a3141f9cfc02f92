#include "client/commands.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include <curl/curl.h>

#include "client/credential.h"
#include "client/json_text.h"
#include "client/metrics.h"
#include "client/options.h"
#include "client/pin.h"
#include "client/session.h"
#include "client/usage.h"
#include "common/fd.h"
#include "common/version.h"

namespace vrk {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kJobsPageLimit = 50;
constexpr int kJobsListAttempts = 3;
// How often log --follow and mail-test ask again while nothing has changed.
constexpr int kPollSeconds = 1;

struct Context {
  const ClientOptions& options;
  ClientSession& session;
};

[[gnu::format(printf, 1, 2)]] int fail(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fputs("error: ", stderr);
  vfprintf(stderr, fmt, ap);
  fputc('\n', stderr);
  va_end(ap);
  return kExitFailed;
}

int64_t now_seconds() {
  return static_cast<int64_t>(time(nullptr));
}

void pause_seconds(int seconds) {
  struct timespec ts = {seconds, 0};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// The server's JSON on standard output: indented on a terminal, as sent otherwise.
void print_json(std::string_view raw) {
  if (isatty(STDOUT_FILENO)) {
    std::string pretty;
    json_text_pretty(raw, pretty);
    fwrite(pretty.data(), 1, pretty.size(), stdout);
  } else {
    fwrite(raw.data(), 1, raw.size(), stdout);
    if (raw.empty() || raw.back() != '\n') {
      fputc('\n', stdout);
    }
  }
}

// A server text for the error line: control bytes (a terminal's escape sequences among them)
// become '?'.
std::string printable(const char* text) {
  std::string out(text);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      c = '?';
    }
  }
  return out;
}

// "error: <status> <code>: <message>" for an answer outside 2xx.
int answer_error(const ApiAnswer& a) {
  const JsonValue* e = json_object_find(a.json, "error");
  const char* code = json_as_string(json_object_find(e, "code"));
  const char* message = json_as_string(json_object_find(e, "message"));
  const char* note = a.signed_answer ? "" : " (unsigned answer)";
  if (code != nullptr && message != nullptr) {
    return fail("%ld %s: %s%s", a.status, printable(code).c_str(), printable(message).c_str(),
                note);
  }
  return fail("HTTP status %ld from the server%s", a.status, note);
}

bool success(const ApiAnswer& a) {
  return a.status >= 200 && a.status <= 299;
}

// One call; prints the failure itself. 0 for a believable answer (check its status), else -1.
int call(Context& ctx, const ApiRequestParts& req, ApiAnswer& answer) {
  char err[kSessionErrSize];
  if (session_call(ctx.session, req, now_seconds(), answer, err) != 0) {
    fail("%s", err);
    return -1;
  }
  return 0;
}

int make_path(std::initializer_list<std::string_view> segments, std::string& path) {
  if (!session_path(segments, path)) {
    fail("out of memory");
    return -1;
  }
  return 0;
}

// A call whose 2xx answer is printed as it came.
int simple(Context& ctx, const char* method, std::initializer_list<std::string_view> segments,
           std::string_view body = {}, std::string_view if_match = {}) {
  ApiRequestParts req;
  req.method = method;
  req.body = body;
  req.if_match = if_match;
  ApiAnswer a;
  if (make_path(segments, req.path) != 0 || call(ctx, req, a) != 0) {
    return kExitFailed;
  }
  if (!success(a)) {
    return answer_error(a);
  }
  print_json(a.body);
  return kExitOk;
}

// The request body from --file or standard input, checked to be a JSON object within the
// server's limits before anything is sent.
int read_body(const ClientOptions& o, std::string& body) {
  const char* name = o.file != nullptr ? o.file : "standard input";
  UniqueFd owned;
  int fd = STDIN_FILENO;
  if (o.file != nullptr) {
    owned.reset(open(o.file, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!owned.valid()) {
      return fail("cannot read %s: %s", o.file, strerror(errno));
    }
    fd = owned.get();
  }
  body.clear();
  char buf[8192];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return fail("cannot read %s: %s", name, strerror(errno));
    }
    if (n == 0) {
      break;
    }
    body.append(buf, static_cast<size_t>(n));
    if (body.size() > kApiJsonMaxSize) {
      return fail("%s: larger than %zu bytes (the server's limit)", name, kApiJsonMaxSize);
    }
  }
  JsonValue* root = nullptr;
  char err[kApiJsonErrSize];
  if (json_parse(body, kApiJsonMaxSize, kApiJsonMaxDepth, kApiJsonMaxValues, root, err) != 0) {
    return fail("%s: not valid JSON: %s", name, err);
  }
  bool object = json_type_of(root) == JsonType::kObject;
  json_value_free(root);
  if (!object) {
    return fail("%s: a JSON object is expected", name);
  }
  return kExitOk;
}

// The If-Match value for a change: --if-match, else the config_etag read now.
int change_etag(Context& ctx, std::string& etag) {
  if (ctx.options.if_match != nullptr) {
    etag = ctx.options.if_match;
    return kExitOk;
  }
  ApiRequestParts req;
  req.path = "/api/v1/settings/sched";
  ApiAnswer a;
  if (call(ctx, req, a) != 0) {
    return kExitFailed;
  }
  if (!success(a)) {
    return answer_error(a);
  }
  const char* e = json_as_string(json_object_find(a.json, "config_etag"));
  if (e == nullptr) {
    return fail("the server's answer has no config_etag");
  }
  etag = e;
  return kExitOk;
}

int cmd_change(Context& ctx, const char* method, std::initializer_list<std::string_view> segments,
               bool with_body) {
  std::string body;
  if (with_body && read_body(ctx.options, body) != kExitOk) {
    return kExitFailed;
  }
  std::string etag;
  if (change_etag(ctx, etag) != kExitOk) {
    return kExitFailed;
  }
  return simple(ctx, method, segments, body, etag);
}

// Every page of the job list, as the raw job objects and the parsed pages they point into.
struct JobList {
  std::deque<ApiAnswer> pages;  // never moved: the raw items point into their bodies
  std::vector<std::string_view> items;
  std::string etag;
  std::string total;
};

int read_pages(Context& ctx, JobList& list) {
  list.pages.clear();
  list.items.clear();
  int64_t offset = 0;
  for (;;) {
    ApiRequestParts req;
    req.path = "/api/v1/jobs";
    req.query = "offset=" + std::to_string(offset) + "&limit=" + std::to_string(kJobsPageLimit);
    ApiAnswer& a = list.pages.emplace_back();
    if (call(ctx, req, a) != 0) {
      return kExitFailed;
    }
    if (!success(a)) {
      return answer_error(a);
    }
    std::string_view etag, total, jobs;
    std::vector<std::string_view> items;
    if (!json_text_member(a.body, "config_etag", etag) ||
        !json_text_member(a.body, "total", total) || !json_text_member(a.body, "jobs", jobs) ||
        !json_text_items(jobs, items)) {
      return fail("the server's job list lacks config_etag, total or jobs");
    }
    if (offset == 0) {
      list.etag = etag;
      list.total = total;
    } else if (etag != list.etag) {
      return -1;  // changed between pages: the caller starts again
    }
    list.items.insert(list.items.end(), items.begin(), items.end());
    int64_t next = 0;
    if (json_as_integer(json_object_find(a.json, "next_offset"), next) != 1) {
      return kExitOk;
    }
    if (next <= offset) {
      return fail("the server's job list does not advance (next_offset %lld)",
                  static_cast<long long>(next));
    }
    offset = next;
  }
}

int read_jobs(Context& ctx, JobList& list) {
  for (int attempt = 0; attempt < kJobsListAttempts; ++attempt) {
    int rc = read_pages(ctx, list);
    if (rc >= 0) {
      return rc;
    }
  }
  return fail("the configuration kept changing while the job list was read");
}

int cmd_jobs(Context& ctx) {
  JobList list;
  if (read_jobs(ctx, list) != kExitOk) {
    return kExitFailed;
  }
  std::string out = "{\"config_etag\":";
  out.append(list.etag).append(",\"total\":").append(list.total).append(",\"jobs\":[");
  for (size_t i = 0; i < list.items.size(); ++i) {
    out.append(i > 0 ? "," : "").append(list.items[i]);
  }
  out += "]}";
  print_json(out);
  return kExitOk;
}

int cmd_metrics(Context& ctx) {
  JobList list;
  if (read_jobs(ctx, list) != kExitOk) {
    return kExitFailed;
  }
  std::vector<MetricsJob> jobs;
  std::deque<ApiAnswer> runs(list.items.size());
  bool runs_available = true;
  for (const ApiAnswer& page : list.pages) {
    const JsonValue* items = json_object_find(page.json, "jobs");
    for (size_t i = 0; i < json_array_length(items); ++i) {
      MetricsJob j;
      j.job = json_array_item(items, i);
      const char* name = json_as_string(json_object_find(j.job, "name"));
      if (runs_available && name != nullptr) {
        ApiRequestParts req;
        ApiAnswer& a = runs[jobs.size()];
        if (make_path({"jobs", name, "runs"}, req.path) != 0 || call(ctx, req, a) != 0) {
          return kExitFailed;
        }
        // A server without the runs resource answers 500 for every job: stop asking.
        runs_available = a.status != 500;
        j.runs = a.status == 200 ? a.json : nullptr;
      }
      jobs.push_back(j);
    }
  }
  std::string out;
  char err[kMetricsErrSize];
  if (metrics_write(jobs, out, err) != 0) {
    return fail("%s", err);
  }
  fwrite(out.data(), 1, out.size(), stdout);
  return kExitOk;
}

int cmd_validate(Context& ctx) {
  std::string body;
  if (read_body(ctx.options, body) != kExitOk) {
    return kExitFailed;
  }
  if (ctx.options.word_count == 1) {
    std::string_view existing;
    if (json_text_member(body, "name", existing)) {
      return fail("the job JSON has a \"name\" already: give either it or <name>");
    }
    std::string named;
    json_text_prepend_member(body, "name", ctx.options.words[0], named);
    body = std::move(named);
  }
  ApiRequestParts req;
  req.method = "POST";
  req.path = "/api/v1/validate/job";
  req.body = body;
  ApiAnswer a;
  if (call(ctx, req, a) != 0) {
    return kExitFailed;
  }
  if (!success(a)) {
    return answer_error(a);
  }
  print_json(a.body);
  int valid = 0;
  if (json_as_bool(json_object_find(a.json, "valid"), valid) == 1 && valid == 0) {
    const JsonValue* e = json_object_find(json_object_find(a.json, "result"), "error");
    const char* code = json_as_string(json_object_find(e, "code"));
    const char* message = json_as_string(json_object_find(e, "message"));
    return fail("not valid: %s: %s", printable(code ? code : "?").c_str(),
                printable(message ? message : "?").c_str());
  }
  return kExitOk;
}

// The newest run's id of job into id.
int latest_run(Context& ctx, const char* job, std::string& id) {
  ApiRequestParts req;
  ApiAnswer a;
  if (make_path({"jobs", job, "runs"}, req.path) != 0 || call(ctx, req, a) != 0) {
    return kExitFailed;
  }
  if (!success(a)) {
    return answer_error(a);
  }
  const char* first =
      json_as_string(json_object_find(json_array_item(json_object_find(a.json, "runs"), 0), "id"));
  if (first == nullptr) {
    return fail("job '%s' has no runs", job);
  }
  id = first;
  return kExitOk;
}

// Writes the log's bytes from offset 0 up to its size at the first answer; with --follow until
// the run has finished and every byte has been read, polling while nothing new has come.
int cmd_log(Context& ctx) {
  const char* job = ctx.options.words[0];
  std::string run = ctx.options.words[1];
  if (run == "latest" && latest_run(ctx, job, run) != kExitOk) {
    return kExitFailed;
  }
  std::string path;
  if (make_path({"jobs", job, "runs", run, "log"}, path) != 0) {
    return kExitFailed;
  }
  int64_t offset = 0;
  int64_t end = -1;
  for (;;) {
    ApiRequestParts req;
    req.path = path;
    req.query = "offset=" + std::to_string(offset);
    ApiAnswer a;
    if (call(ctx, req, a) != 0) {
      return kExitFailed;
    }
    if (!success(a)) {
      return answer_error(a);
    }
    const JsonValue* data = json_object_find(a.json, "data");
    int64_t next = 0, size = 0;
    int finished = 0;
    if (json_type_of(data) != JsonType::kString ||
        json_as_integer(json_object_find(a.json, "next_offset"), next) != 1 ||
        json_as_integer(json_object_find(a.json, "size"), size) != 1 ||
        json_as_bool(json_object_find(a.json, "finished"), finished) != 1 || next < offset) {
      return fail("the server's log answer lacks data, next_offset, size or finished");
    }
    fwrite(data->text.data(), 1, data->text.size(), stdout);
    fflush(stdout);
    if (!ctx.options.follow) {
      // The log as it was at the first answer; a character still being written ends it early.
      end = end < 0 ? size : end;
      if (next >= end || next == offset) {
        return kExitOk;
      }
    } else if (next >= size && finished != 0) {
      return kExitOk;
    }
    if (next == offset) {
      pause_seconds(kPollSeconds);
    }
    offset = next;
  }
}

int cmd_mail_test(Context& ctx) {
  ApiRequestParts req;
  req.method = "POST";
  req.path = "/api/v1/mail/test";
  ApiAnswer a;
  if (call(ctx, req, a) != 0) {
    return kExitFailed;
  }
  if (!success(a)) {
    return answer_error(a);
  }
  int64_t id = 0;
  if (json_as_integer(json_object_find(a.json, "mail_id"), id) != 1) {
    return fail("the server's answer has no mail_id");
  }
  std::string path;
  if (make_path({"mail", "results", std::to_string(id)}, path) != 0) {
    return kExitFailed;
  }
  for (int waited = 0;; waited += kPollSeconds) {
    ApiRequestParts poll;
    poll.path = path;
    ApiAnswer r;
    if (call(ctx, poll, r) != 0) {
      return kExitFailed;
    }
    if (!success(r)) {
      return answer_error(r);
    }
    const char* state = json_as_string(json_object_find(r.json, "state"));
    if (state == nullptr) {
      return fail("the server's answer has no state");
    }
    if (strcmp(state, "pending") != 0) {
      print_json(r.body);
      if (strcmp(state, "sent") == 0) {
        return kExitOk;
      }
      const char* e = json_as_string(json_object_find(r.json, "error"));
      return fail("test mail %lld %s: %s", static_cast<long long>(id), printable(state).c_str(),
                  printable(e ? e : "").c_str());
    }
    if (waited >= ctx.options.wait_seconds) {
      print_json(r.body);
      return fail("test mail %lld still pending after %d s", static_cast<long long>(id),
                  ctx.options.wait_seconds);
    }
    pause_seconds(kPollSeconds);
  }
}

int run_command(Context& ctx) {
  const ClientOptions& o = ctx.options;
  const char* w0 = o.words[0];
  switch (o.command->command) {
    case ClientCommand::kInfo:
      return simple(ctx, "GET", {"info"});
    case ClientCommand::kJobs:
      return cmd_jobs(ctx);
    case ClientCommand::kJob:
      return simple(ctx, "GET", {"jobs", w0});
    case ClientCommand::kPut:
      return cmd_change(ctx, "PUT", {"jobs", w0}, true);
    case ClientCommand::kDelete:
      return cmd_change(ctx, "DELETE", {"jobs", w0}, false);
    case ClientCommand::kValidate:
      return cmd_validate(ctx);
    case ClientCommand::kSettings:
      if (strcmp(w0, "get") == 0) {
        return simple(ctx, "GET", {"settings", o.words[1]});
      }
      return cmd_change(ctx, "PUT", {"settings", o.words[1]}, true);
    case ClientCommand::kRun:
      return simple(ctx, "POST", {"jobs", w0, "run"});
    case ClientCommand::kCancel:
      return simple(ctx, "POST", {"jobs", w0, "cancel"});
    case ClientCommand::kRuns:
      return simple(ctx, "GET", {"jobs", w0, "runs"});
    case ClientCommand::kLog:
      return cmd_log(ctx);
    case ClientCommand::kMailTest:
      return cmd_mail_test(ctx);
    case ClientCommand::kMetrics:
      return cmd_metrics(ctx);
  }
  return kExitFailed;
}

}  // namespace

int client_main(int argc, char** argv) {
  if (argc < 2) {
    client_print_usage(stdout);
    return kExitUsage;
  }
  ClientOptions options;
  char err[kOptionsErrSize];
  if (client_options_parse(argc, argv, options, err) != 0) {
    fprintf(stderr, "error: %s\n(see vrk_sched_client --help)\n", err);
    return kExitUsage;
  }
  if (options.version) {
    printf("vrk_sched_client %s\n", kVersion);
    return kExitOk;
  }
  if (options.help) {
    client_print_usage(stdout);
    return kExitOk;
  }
  CertPin pin;
  char pin_err[kPinErrSize];
  if (options.fingerprint != nullptr && pin_parse(options.fingerprint, pin, pin_err) != 0) {
    fprintf(stderr, "error: --fingerprint: %s\n", pin_err);
    return kExitUsage;
  }
  ClientSession session;
  char token_err[kCredentialErrSize];
  if (credential_load(options.token_file, session.token, token_err) != 0) {
    return fail("%s", token_err);
  }
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    return fail("cannot set up libcurl");
  }
  int rc = kExitFailed;
  char http_err[kHttpErrSize];
  if (http_client_open(options.url, options.ca_file,
                       options.fingerprint != nullptr ? &pin : nullptr, session.http,
                       http_err) != 0) {
    rc = fail("%s", http_err);
  } else {
    Context ctx{options, session};
    rc = run_command(ctx);
  }
  session.http.easy.reset();
  curl_global_cleanup();
  fflush(stdout);
  return rc;
}

}  // namespace vrk
