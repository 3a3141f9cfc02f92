// mail_compose of a 40 KB notification body (target: under 200 us per message).
#include <benchmark/benchmark.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "net/mail_compose.h"

namespace vrk {
namespace {

constexpr size_t kBodyBytes = 40 * 1024;

MailSettings bench_settings() {
  MailSettings s;
  (void)text_copy(s.from, "sched@backup1.example.org");
  for (const char* r : {"ops@example.org", "backup-admins@example.org", "oncall@example.org"}) {
    (void)text_copy(s.recipients[s.recipient_count++], r);
  }
  return s;
}

// A job log tail as the notification carries it: short lines, a few HTML specials.
std::string log_body() {
  std::string body =
      "Job:       nightly\nHost:      backup1\nResult:    DONE\nExit code: 0\n"
      "Command:   vrk_agent backup --repo /srv/repo\n\n";
  int n = 0;
  while (body.size() < kBodyBytes) {
    body += "2024-03-01T02:" + std::to_string(10 + n % 50) + ":00Z INFO chunk " +
            std::to_string(n) + " stored <dedup> ratio 3.2 & compressed, size " +
            std::to_string(n * 4096) + "\n";
    ++n;
  }
  body.resize(kBodyBytes);
  return body;
}

void run(benchmark::State& state, const std::string& body) {
  MailSettings s = bench_settings();
  std::vector<char> out(kMailMessageSize);
  for (auto _ : state) {
    long n =
        mail_compose(s, "[arvenna] backup1: job nightly DONE", body, 1709258400, "backup1", out);
    benchmark::DoNotOptimize(n);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(body.size()));
}

void BM_MailComposeLogBody40k(benchmark::State& state) {
  run(state, log_body());
}
BENCHMARK(BM_MailComposeLogBody40k)->Unit(benchmark::kMicrosecond);

// Worst case for the HTML part: every byte an entity, lines filled to the limit.
void BM_MailComposeAllSpecials40k(benchmark::State& state) {
  run(state, std::string(kBodyBytes, '&'));
}
BENCHMARK(BM_MailComposeAllSpecials40k)->Unit(benchmark::kMicrosecond);

// UTF-8 text without line breaks: every character measured, every 990 bytes a break.
void BM_MailComposeUtf8NoBreaks40k(benchmark::State& state) {
  std::string body;
  while (body.size() + 2 <= kBodyBytes) {
    body += "\xC3\xA4";
  }
  run(state, body);
}
BENCHMARK(BM_MailComposeUtf8NoBreaks40k)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vrk
