// Fuzz target: config_load_text on arbitrary file contents. Checks the result code, that a
// failure leaves a terminated, non-empty message, and that a success holds consistent counts
// and job names without control bytes.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <memory>
#include <string_view>

#include "sched/config.h"
#include "sched/config_load.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Allocated once: the record is about 1.2 MB and every load starts by resetting it.
  static vrk::SchedConfig* cfg = new vrk::SchedConfig;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  // A file: password reference would read (or block on) whatever path the input names.
  if (text.find("file:") != std::string_view::npos) {
    return 0;
  }
  char err[vrk::kConfigErrSize];
  int rc = vrk::config_load_text(text, "fuzz.cfg", *cfg, err);
  if (rc != 0) {
    if (rc != -1 || err[0] == '\0' || memchr(err, '\0', sizeof(err)) == nullptr) {
      __builtin_trap();
    }
  } else {
    if (cfg->job_count > vrk::kMaxJobs || cfg->mail.recipient_count < 0 ||
        cfg->mail.recipient_count > vrk::kMailMaxRecipients) {
      __builtin_trap();
    }
    for (uint64_t i = 0; i < cfg->job_count; ++i) {
      const vrk::JobConfig& job = cfg->jobs[i];
      for (const char* c = job.name; *c != '\0'; ++c) {
        if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7f) {
          __builtin_trap();
        }
      }
      if (job.name[0] == '\0' || strchr(job.name, '/') != nullptr || job.args_token_count < 0 ||
          job.args_token_count > vrk::kArgsMaxTokens || job.after_count < 0 ||
          job.after_count > vrk::kMaxAfter || vrk::config_find_job(*cfg, job.name) != &job) {
        __builtin_trap();
      }
    }
  }
  vrk::config_free(*cfg);
  return 0;
}
