// CRC-32C hardware path against the byte-wise table path, and SHA-256 throughput.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdint.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "common/crc32c.h"
#include "common/digest.h"
#include "common/spawn.h"

namespace vrk {
namespace {

std::vector<uint8_t> bench_data(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) {
    v[i] = static_cast<uint8_t>(i * 131 + 7);
  }
  return v;
}

void BM_Crc32cHw(benchmark::State& state) {
  if (!crc32c_hw_supported()) {
    state.SkipWithError("processor has no SSE4.2");
    return;
  }
  std::vector<uint8_t> data = bench_data(static_cast<size_t>(state.range(0)));
  uint32_t crc = 0;
  for (auto _ : state) {
    crc = crc32c_hw(crc, data.data(), data.size());
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc32cHw)->Arg(4 << 10)->Arg(1 << 20);

void BM_Crc32cTable(benchmark::State& state) {
  std::vector<uint8_t> data = bench_data(static_cast<size_t>(state.range(0)));
  uint32_t crc = 0;
  for (auto _ : state) {
    crc = crc32c_table(crc, data.data(), data.size());
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc32cTable)->Arg(4 << 10)->Arg(1 << 20);

void BM_Sha256(benchmark::State& state) {
  std::vector<uint8_t> data = bench_data(static_cast<size_t>(state.range(0)));
  uint8_t digest[32] = {};
  for (auto _ : state) {
    sha256(data.data(), data.size(), digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Sha256)->Arg(1 << 20);

}  // namespace
}  // namespace vrk

// spawn_wait of a program that exits at once, next to plain fork, exec and waitpid: a wait that
// only looks at the child every 50 ms would add most of a tick to each.
void BM_SpawnWaitTrue(benchmark::State& state) {
  const char* argv[] = {"true", nullptr};
  for (auto _ : state) {
    vrk::SpawnStatus st;
    if (vrk::spawn_wait(argv, 60, -1, nullptr, nullptr, st) != 0 || st.exit_code != 0) {
      state.SkipWithError("spawn_wait failed");
    }
  }
}
BENCHMARK(BM_SpawnWaitTrue)->Unit(benchmark::kMillisecond);

void BM_ForkExecWaitTrue(benchmark::State& state) {
  for (auto _ : state) {
    pid_t pid = fork();
    if (pid == 0) {
      execlp("true", "true", static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
  }
}
BENCHMARK(BM_ForkExecWaitTrue)->Unit(benchmark::kMillisecond);

// 40 line exchanges with a child through the wake descriptor, answered from the idle callback:
// with the wake (Arg 1) each answer goes out at once, without it (Arg 0) only at the 50 ms ticks.
struct RoundTrips {
  int wake_r = -1;
  int ack_w = -1;
  bool use_wake = true;
};

int round_trips_wake_fd(void* p) {
  auto* rt = static_cast<RoundTrips*>(p);
  return rt->use_wake ? rt->wake_r : -1;
}

int round_trips_idle(void* p) {
  auto* rt = static_cast<RoundTrips*>(p);
  char buf[256];
  ssize_t n;
  while ((n = read(rt->wake_r, buf, sizeof buf)) > 0) {
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] == '\n' && write(rt->ack_w, "k\n", 2) != 2) {
        return 1;
      }
    }
  }
  return 0;
}

void BM_SpawnWakeRoundTrips(benchmark::State& state) {
  const char* argv[] = {
      "sh", "-c", "i=0; while [ $i -lt 40 ]; do echo $i; read x || exit 9; i=$((i + 1)); done",
      nullptr};
  for (auto _ : state) {
    int wake[2];
    int ack[2];
    if (pipe2(wake, O_CLOEXEC) != 0 || pipe2(ack, O_CLOEXEC) != 0) {
      state.SkipWithError("pipe failed");
      return;
    }
    fcntl(wake[0], F_SETFL, O_NONBLOCK);
    int saved_stdin = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
    dup2(ack[0], STDIN_FILENO);
    RoundTrips rt;
    rt.wake_r = wake[0];
    rt.ack_w = ack[1];
    rt.use_wake = state.range(0) != 0;
    vrk::SpawnWaitOptions opt;
    opt.idle_callback = round_trips_idle;
    opt.wake_fd = round_trips_wake_fd;
    opt.callback_context = &rt;
    vrk::SpawnStatus st;
    if (vrk::spawn_wait_with(argv, 60, wake[1], opt, st) != 0 || st.exit_code != 0) {
      state.SkipWithError("exchange failed");
    }
    if (saved_stdin >= 0) {
      dup2(saved_stdin, STDIN_FILENO);
      close(saved_stdin);
    }
    for (int fd : {wake[0], wake[1], ack[0], ack[1]}) {
      close(fd);
    }
  }
}
BENCHMARK(BM_SpawnWakeRoundTrips)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(3);
