// The queue state shown in API job objects: a private copy, never saved, reconciled with the
// configuration of the request's snapshot as the daemon would reconcile it after a reload.
#pragma once

#include "sched/config.h"
#include "sched/queue.h"

namespace vrk {

struct ApiState;

// Fills view with the entries of the daemon's queue state file when it exists and loads, else
// with a copy of the daemon's in-memory entries (none when state has no queue), then reconciles
// them with config at the current time in memory only. Never writes or locks anything.
// 0, or -1 when memory runs out. Release view with queue_free.
[[nodiscard]] int queue_view_build(const ApiState& state, const SchedConfig& config,
                                   QueueState& view);

}  // namespace vrk
