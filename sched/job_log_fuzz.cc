// Fuzz target: the job log footer read from a log's tail (stored program output). A log without
// its end marker reads as unfinished with every item 0.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string_view>

#include "sched/job_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vrk::LogFooter footer;
  vrk::job_log_footer_parse(std::string_view(reinterpret_cast<const char*>(data), size), footer);
  if (!footer.finished && (footer.finish != 0 || footer.exit_code != 0 || footer.timed_out != 0 ||
                           footer.cancelled != 0)) {
    abort();
  }
  return 0;
}
