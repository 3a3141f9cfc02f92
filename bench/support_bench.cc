// CRC-32C hardware path against the byte-wise table path, and SHA-256 throughput.
#include <benchmark/benchmark.h>
#include <stdint.h>

#include <vector>

#include "common/crc32c.h"
#include "common/digest.h"

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
