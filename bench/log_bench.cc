// Job log chunks through the API: GET /jobs/<name>/runs/<run-id>/log answering 49152-byte chunks
// of a 16 MiB log of program output (configuration snapshot, open, one positioned read, footer,
// UTF-8 end and JSON escaping), next to its floor, a plain pread of the same size from the same
// file. Both report bytes of log per second. The handler with 64-byte chunks shows the cost of
// a request apart from its data.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "common/log.h"
#include "common/text.h"
#include "sched/api/router.h"
#include "sched/api/runs.h"
#include "sched/api/state.h"
#include "sched/config.h"
#include "sched/config_load.h"

namespace {

constexpr size_t kLogBytes = 16u << 20;
constexpr size_t kChunk = vrk::kApiLogChunkMax;
const char kRunId[] = "20250101T020000Z";

// A temporary log root with one job's configuration and one finished run of program output:
// mostly ASCII lines, some with two- and three-byte characters and a tab.
struct LogFiles {
  std::string dir;
  std::string cfg_path;
  std::string log_path;
  bool ok = false;

  LogFiles() {
    char tmpl[] = "/tmp/log_bench_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
      return;
    }
    dir = tmpl;
    cfg_path = dir + "/vrk_sched.cfg";
    log_path = dir + "/nightly/" + kRunId + ".log";
    FILE* c = fopen(cfg_path.c_str(), "w");
    if (c == nullptr) {
      return;
    }
    fputs("[nightly]\ncommand = agent\nschedule = 0 2 * * *\n", c);
    fclose(c);
    if (mkdir((dir + "/nightly").c_str(), 0755) != 0) {
      return;
    }
    FILE* f = fopen(log_path.c_str(), "w");
    if (f == nullptr) {
      return;
    }
    fputs("job: nightly\nargv: vrk_agent backup\nstart_unix: 1735696800\n\n--- output ---\n", f);
    size_t written = 0;
    for (int i = 0; written < kLogBytes; ++i) {
      int n =
          i % 8 == 0
              ? fprintf(f, "%06d chunk 0x%08x Größe 12 MiB \xe2\x86\x92 stored\t\"ok\"\n", i,
                        i * 2654435761u)
              : fprintf(f, "%06d /srv/data/files/part-%05d.bin: 4096 bytes, deduplicated\n", i, i);
      written += n > 0 ? static_cast<size_t>(n) : 0;
    }
    fputs("\n--- end ---\nfinish_unix: 1735700000\nexit_code: 0\ntimed_out: 0\n", f);
    ok = fclose(f) == 0;
  }
  ~LogFiles() {
    unlink(log_path.c_str());
    rmdir((dir + "/nightly").c_str());
    unlink(cfg_path.c_str());
    rmdir(dir.c_str());
  }
};

void BM_LogChunkPreadFloor(benchmark::State& state) {
  LogFiles files;
  int fd = open(files.log_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (!files.ok || fd < 0) {
    state.SkipWithError("cannot write the log");
    return;
  }
  static char buf[kChunk];
  off_t offset = 0;
  for (auto _ : state) {
    if (offset + static_cast<off_t>(kChunk) > static_cast<off_t>(kLogBytes)) {
      offset = 0;
    }
    ssize_t n = pread(fd, buf, kChunk, offset);
    if (n != static_cast<ssize_t>(kChunk)) {
      state.SkipWithError("short read");
      break;
    }
    benchmark::DoNotOptimize(buf[0]);
    offset += n;
  }
  close(fd);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kChunk));
}
BENCHMARK(BM_LogChunkPreadFloor)->Unit(benchmark::kMicrosecond);

void BM_LogChunkHandler(benchmark::State& state) {
  vrk::log_init("log_bench", vrk::kLogError);
  LogFiles files;
  vrk::SchedConfigPtr config = vrk::config_new();
  char err[vrk::kConfigErrSize];
  if (!files.ok || !config || vrk::config_load(files.cfg_path.c_str(), *config, err) != 0) {
    state.SkipWithError("cannot set up the files");
    return;
  }
  auto api = std::make_unique<vrk::ApiState>();
  vrk::api_state_init(*api, files.cfg_path.c_str(), (files.dir + "/queue.state").c_str(),
                      files.dir.c_str(), config.get(), nullptr);
  vrk::ApiRequest request;
  vrk::text_copy_cut(request.method, "GET");
  vrk::text_copy_cut(request.path, std::string("/api/v1/jobs/nightly/runs/") + kRunId + "/log");
  vrk::ApiResponse response;
  const size_t chunk = static_cast<size_t>(state.range(0));
  int64_t offset = 0;
  int64_t bytes = 0;
  for (auto _ : state) {
    if (offset + static_cast<int64_t>(chunk) > static_cast<int64_t>(kLogBytes)) {
      offset = 0;
    }
    snprintf(request.query, sizeof request.query, "offset=%lld&length=%zu",
             static_cast<long long>(offset), chunk);
    vrk::ApiCall call;
    vrk::api_call_init(call, api.get(), request, response);
    vrk::api_route(call);
    if (response.status != 200) {
      state.SkipWithError("log chunk refused");
      break;
    }
    // The chunk's "length": how far the next request starts.
    std::string_view body(reinterpret_cast<const char*>(response.body), response.body_length);
    size_t at = body.rfind("\"length\":");
    int64_t length = at == std::string_view::npos ? 0 : atoll(body.data() + at + 9);
    offset += length;
    bytes += length;
  }
  state.SetBytesProcessed(bytes);
  state.counters["chunk_bytes"] =
      benchmark::Counter(static_cast<double>(bytes) / static_cast<double>(state.iterations()));
  vrk::config_free(*config);
}
BENCHMARK(BM_LogChunkHandler)->Arg(kChunk)->Arg(64)->Unit(benchmark::kMicrosecond);

}  // namespace
