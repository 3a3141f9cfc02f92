// json_parse of a request body at the API's 32 KB limit: one built of the most values the
// limits allow (about 500 small members) and one that is a single long text.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "sched/api/json_reader.h"

namespace {

// 100 job objects of 4 members each: 502 values, padded to just under 32768 bytes.
std::string many_values_body() {
  std::string body = "{\"jobs\":[";
  for (int i = 0; i < 100; ++i) {
    char job[160];
    snprintf(job, sizeof(job),
             "%s{\"name\":\"nightly-%03d\",\"schedule\":\"%d 3 * * 1-5\",\"timeout\":%d,"
             "\"args\":\"",
             i == 0 ? "" : ",", i, i % 60, 3600 + i);
    body += job;
    body += std::string(253, 'a' + i % 26);
    body += "\"}";
  }
  body += "]}";
  return body;
}

std::string long_text_body() {
  std::string body = "{\"text\":\"";
  while (body.size() < 32700) {
    body += "caf\xC3\xA9 line \\n \\u00e9 tab\\t ";
  }
  return body + "\"}";
}

void run(benchmark::State& state, const std::string& body) {
  if (body.size() > vrk::kApiJsonMaxSize) {
    abort();
  }
  char err[vrk::kApiJsonErrSize];
  for (auto _ : state) {
    vrk::JsonValue* root = nullptr;
    if (vrk::json_parse(body, vrk::kApiJsonMaxSize, vrk::kApiJsonMaxDepth, vrk::kApiJsonMaxValues,
                        root, err) != 0) {
      state.SkipWithError(err);
      break;
    }
    benchmark::DoNotOptimize(root);
    vrk::json_value_free(root);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
  state.counters["body_bytes"] = static_cast<double>(body.size());
}

void BM_JsonParseManyValues32K(benchmark::State& state) {
  run(state, many_values_body());
}
BENCHMARK(BM_JsonParseManyValues32K);

void BM_JsonParseLongText32K(benchmark::State& state) {
  run(state, long_text_body());
}
BENCHMARK(BM_JsonParseLongText32K);

}  // namespace
