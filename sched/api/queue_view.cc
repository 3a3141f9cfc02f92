#include "sched/api/queue_view.h"

#include <new>

#include "common/clock.h"
#include "common/text.h"
#include "sched/api/state.h"
#include "sched/queue_sync.h"

namespace vrk {

int queue_view_build(const ApiState& state, const SchedConfig& config, QueueState& view) {
  queue_free(view);
  try {
    if (state.queue != nullptr) {
      view.entries = state.queue->entries;
      text_copy_cut(view.path, text_view(state.queue->path));
      // Replaces the copy only when the file reads whole; a missing or damaged file keeps it.
      if (view.path[0] != '\0') {
        (void)queue_reload(view);
      }
    }
  } catch (const std::bad_alloc&) {
    queue_free(view);
    return -1;
  }
  if (queue_view_sync(view, config, clock_unix_now()) != 0) {
    queue_free(view);
    return -1;
  }
  return 0;
}

}  // namespace vrk
