// API request authentication: a signed request (canonical request, body hash, HMAC, window and
// nonce cache; target under 10 us), a Bearer request (target under 2 us), and the whole entry
// point answering GET /api/v1/info for a 50-job configuration; a configuration snapshot of a
// 256-job file (served from the snapshot cache, and read afresh, beside its floors: the file's
// bytes alone and a stat) and GET /api/v1/jobs answering a page of 50 of those 256 jobs.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/log.h"
#include "common/text.h"
#include "sched/api/auth.h"
#include "sched/api/config_snapshot.h"
#include "sched/api/handle.h"
#include "sched/api/state.h"
#include "sched/config.h"
#include "sched/config_load.h"
#include "sched/config_write.h"
#include "sched/queue.h"
#include "sched/queue_sync.h"

namespace {

constexpr int64_t kNow = 1'800'000'000;
const char kAdminSecret[] = "AdminSecretAdminSecretAdminSecretAdmin_-012";
const char kReadSecret[] = "R2d2C3poR2d2C3poR2d2C3poR2d2C3poR2d2C3po-_x";

// 50 tokens, the two used here last, so lookups walk the table.
std::unique_ptr<vrk::TokenTable> bench_tokens() {
  auto t = std::make_unique<vrk::TokenTable>();
  for (int i = 0; i < 50; ++i) {
    vrk::ApiToken& e = t->tokens[t->count++];
    snprintf(e.name, sizeof e.name, "token-%02d", i);
    vrk::text_copy_cut(e.secret, i == 48 ? kReadSecret : kAdminSecret);
    e.role = i == 48 ? vrk::TokenRole::kRead : vrk::TokenRole::kAdmin;
  }
  return t;
}

void fill_request(vrk::ApiRequest& r) {
  vrk::text_copy_cut(r.method, "GET");
  vrk::text_copy_cut(r.path, "/api/v1/jobs/nightly-files");
  vrk::text_copy_cut(r.client_address, "192.0.2.1");
}

void BM_AuthenticateSigned(benchmark::State& state) {
  auto tokens = bench_tokens();
  auto cache = std::make_unique<vrk::ApiNonceCache>();
  vrk::ApiRequest request;
  fill_request(request);
  // One signed value per cache slot, signed outside the timing; the cache is emptied whenever
  // every value has been used once.
  std::vector<std::string> values;
  std::string ts = std::to_string(kNow);
  for (int i = 0; i < vrk::kApiNonceCacheSlots; ++i) {
    char nonce[33];
    snprintf(nonce, sizeof nonce, "%08x%024x", static_cast<unsigned>(i) * 2654435761u, i);
    char sig[vrk::kApiSignatureHexSize];
    vrk::api_request_signature(tokens->tokens[49], vrk::api_canonical_request(request, ts, nonce),
                               sig);
    values.push_back("VRK-HMAC-SHA256 key=token-49, ts=" + ts + ", nonce=" + nonce +
                     ", sig=" + sig);
  }
  vrk::AuthResult result;
  size_t i = 0;
  for (auto _ : state) {
    if (i == values.size()) {
      state.PauseTiming();
      *cache = vrk::ApiNonceCache{};
      i = 0;
      state.ResumeTiming();
    }
    vrk::text_copy_cut(request.authorization, values[i++]);
    if (vrk::api_authenticate(*tokens, *cache, kNow, request, result) != vrk::AuthReason::kOk) {
      state.SkipWithError("signed request refused");
      break;
    }
  }
}
BENCHMARK(BM_AuthenticateSigned)->Unit(benchmark::kMicrosecond);

void BM_AuthenticateBearer(benchmark::State& state) {
  auto tokens = bench_tokens();
  auto cache = std::make_unique<vrk::ApiNonceCache>();
  vrk::ApiRequest request;
  fill_request(request);
  vrk::text_copy_cut(request.authorization, std::string("Bearer token-48.") + kReadSecret);
  vrk::AuthResult result;
  for (auto _ : state) {
    if (vrk::api_authenticate(*tokens, *cache, kNow, request, result) != vrk::AuthReason::kOk) {
      state.SkipWithError("bearer request refused");
      break;
    }
  }
}
BENCHMARK(BM_AuthenticateBearer)->Unit(benchmark::kMicrosecond);

// GET path?query with the read token, handled state.iterations() times; every answer must be 200.
// Returns the last answer's body length.
uint32_t handle_bearer_get(benchmark::State& state, vrk::ApiState& api, const char* path,
                           const char* query, const char* what) {
  vrk::ApiRequest request;
  vrk::text_copy_cut(request.method, "GET");
  vrk::text_copy_cut(request.path, path);
  vrk::text_copy_cut(request.query, query);
  vrk::text_copy_cut(request.client_address, "192.0.2.1");
  vrk::text_copy_cut(request.authorization, std::string("Bearer reader.") + kReadSecret);
  vrk::ApiResponse response;
  for (auto _ : state) {
    vrk::api_handle_request(api, request, response);
    if (response.status != 200) {
      state.SkipWithError(what);
      break;
    }
  }
  return response.body_length;
}

// A temporary directory with a configuration of jobs jobs and a tokens file holding the read
// token "reader"; removed by the destructor. Made once per process (static): setting one up
// waits for the file to settle.
struct BenchFiles {
  std::string dir;
  std::string cfg_path;
  std::string tokens_path;
  bool ok = false;

  explicit BenchFiles(int jobs) {
    char tmpl[] = "/tmp/api_bench_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
      return;
    }
    dir = tmpl;
    cfg_path = dir + "/vrk_sched.cfg";
    tokens_path = dir + "/tokens";
    std::string text =
        "[sched]\npoll-interval = 30\n[api]\nenabled = yes\ntokens-file = " + tokens_path + "\n";
    for (int i = 0; i < jobs; ++i) {
      std::string n = std::to_string(i);
      text += "[job-" + n + "]\ncommand = agent\nprofile = host-" + n +
              "\nschedule = " + std::to_string(i % 60) +
              " 2 * * *\nargs = --verbose\nretention = 30d\n";
    }
    FILE* f = fopen(cfg_path.c_str(), "w");
    FILE* t = fopen(tokens_path.c_str(), "w");
    if (f != nullptr) {
      fputs(text.c_str(), f);
      fclose(f);
    }
    if (t != nullptr) {
      fprintf(t, "reader read 1 %s\n", kReadSecret);
      fclose(t);
    }
    ok = f != nullptr && t != nullptr && chmod(tokens_path.c_str(), 0600) == 0;
    // As on a server: the file has not been written in the last moments, so the snapshot
    // cache may trust its stamp (a file changed within the last second is read every time).
    sleep(2);
  }
  ~BenchFiles() {
    unlink(cfg_path.c_str());
    unlink(tokens_path.c_str());
    rmdir(dir.c_str());
  }
};

void BM_HandleInfo50Jobs(benchmark::State& state) {
  vrk::log_init("api_bench", vrk::kLogError);
  static BenchFiles files(50);
  vrk::SchedConfigPtr config = vrk::config_new();
  char err[vrk::kConfigErrSize];
  if (!files.ok || !config || vrk::config_load(files.cfg_path.c_str(), *config, err) != 0) {
    state.SkipWithError("cannot set up the configuration");
    return;
  }
  auto api = std::make_unique<vrk::ApiState>();
  vrk::api_state_init(*api, files.cfg_path.c_str(), (files.dir + "/queue.state").c_str(),
                      files.dir.c_str(), config.get(), nullptr);
  (void)handle_bearer_get(state, *api, "/api/v1/info", "", "info refused");
  vrk::config_free(*config);
}
BENCHMARK(BM_HandleInfo50Jobs)->Unit(benchmark::kMicrosecond);

BenchFiles& files_256() {
  static BenchFiles files(256);
  return files;
}

// Floors of a snapshot read: the file's bytes alone (open, read, close), and the stat that a
// cached answer costs.
void BM_ConfigFileReadOnly256Jobs(benchmark::State& state) {
  BenchFiles& files = files_256();
  std::string text;
  char buf[65536];
  for (auto _ : state) {
    int fd = open(files.cfg_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      state.SkipWithError("open");
      break;
    }
    text.clear();
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
      text.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["file_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_ConfigFileReadOnly256Jobs)->Unit(benchmark::kMicrosecond);

void BM_ConfigFileStat256Jobs(benchmark::State& state) {
  BenchFiles& files = files_256();
  struct stat st = {};
  for (auto _ : state) {
    if (stat(files.cfg_path.c_str(), &st) != 0) {
      state.SkipWithError("stat");
      break;
    }
    benchmark::DoNotOptimize(st.st_ino);
  }
}
BENCHMARK(BM_ConfigFileStat256Jobs)->Unit(benchmark::kMicrosecond);

// A fresh read every time (no cache): read, parse, read again.
void BM_ConfigSnapshotReadUncached256Jobs(benchmark::State& state) {
  vrk::log_init("api_bench", vrk::kLogError);
  BenchFiles& files = files_256();
  char err[vrk::kConfigApiErrSize];
  for (auto _ : state) {
    vrk::ConfigSnapshot snapshot;
    if (vrk::config_snapshot_read_with(files.cfg_path.c_str(), vrk::config_read_with_etag, snapshot,
                                       err) != 0) {
      state.SkipWithError(err);
      break;
    }
    vrk::config_snapshot_release(snapshot);
  }
}
BENCHMARK(BM_ConfigSnapshotReadUncached256Jobs)->Unit(benchmark::kMicrosecond);

void BM_ConfigSnapshotRead256Jobs(benchmark::State& state) {
  vrk::log_init("api_bench", vrk::kLogError);
  BenchFiles& files = files_256();
  if (!files.ok) {
    state.SkipWithError("cannot write the files");
    return;
  }
  auto api = std::make_unique<vrk::ApiState>();
  vrk::api_state_init(*api, files.cfg_path.c_str(), (files.dir + "/queue.state").c_str(),
                      files.dir.c_str(), nullptr, nullptr);
  char err[vrk::kConfigApiErrSize];
  for (auto _ : state) {
    vrk::ConfigSnapshot snapshot;
    if (vrk::config_snapshot_read(*api, snapshot, err) != 0) {
      state.SkipWithError(err);
      break;
    }
    vrk::config_snapshot_release(snapshot);
  }
}
BENCHMARK(BM_ConfigSnapshotRead256Jobs)->Unit(benchmark::kMicrosecond);

void BM_HandleListJobs50Of256(benchmark::State& state) {
  vrk::log_init("api_bench", vrk::kLogError);
  BenchFiles& files = files_256();
  vrk::SchedConfigPtr config = vrk::config_new();
  char err[vrk::kConfigErrSize];
  if (!files.ok || !config || vrk::config_load(files.cfg_path.c_str(), *config, err) != 0) {
    state.SkipWithError("cannot set up the configuration");
    return;
  }
  // As in the daemon: a queue state file with an entry for every job.
  std::string queue_path = files.dir + "/queue.state";
  vrk::QueueState queue;
  if (vrk::queue_open(queue, queue_path.c_str()) != 0 ||
      vrk::queue_sync_and_save(queue, *config, kNow) != 0) {
    state.SkipWithError("cannot write the queue");
    return;
  }
  auto api = std::make_unique<vrk::ApiState>();
  vrk::api_state_init(*api, files.cfg_path.c_str(), queue_path.c_str(), files.dir.c_str(),
                      config.get(), &queue);
  state.counters["body_bytes"] =
      handle_bearer_get(state, *api, "/api/v1/jobs", "offset=100&limit=50", "job list refused");
  vrk::config_free(*config);
  vrk::queue_free(queue);
  unlink(queue_path.c_str());
  unlink((queue_path + ".lock").c_str());
}
BENCHMARK(BM_HandleListJobs50Of256)->Unit(benchmark::kMicrosecond);

}  // namespace
