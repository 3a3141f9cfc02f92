// Fuzz target for the queue file decoder: any bytes decode without fault, and a decoded queue
// encodes to bytes that decode to the same entries.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <span>
#include <vector>

#include "common/error.h"
#include "sched/queue.h"

namespace {

std::vector<uint8_t> encode_all(const std::vector<vrk::QueueEntry>& entries) {
  std::vector<uint8_t> out(entries.size() * vrk::kQueueEntryBytes);
  for (size_t i = 0; i < entries.size(); ++i) {
    vrk::queue_entry_encode(entries[i],
                            std::span<uint8_t, vrk::kQueueEntryBytes>(
                                out.data() + i * vrk::kQueueEntryBytes, vrk::kQueueEntryBytes));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<vrk::QueueEntry> first;
  int rc = vrk::queue_decode(std::span<const uint8_t>(data, size), first);
  if (rc != 0) {
    if (rc > 0) {
      abort();
    }
    return 0;
  }
  if (first.size() != size / vrk::kQueueEntryBytes) {
    abort();
  }
  for (const vrk::QueueEntry& e : first) {
    if (strnlen(e.name, sizeof e.name) >= sizeof e.name ||
        vrk::queue_entry_pid(e) > vrk::kQueuePidMax) {
      abort();
    }
  }
  const std::vector<uint8_t> bytes = encode_all(first);
  std::vector<vrk::QueueEntry> second;
  if (vrk::queue_decode(bytes, second) != 0 || encode_all(second) != bytes) {
    abort();
  }
  return 0;
}
