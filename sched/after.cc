#include "sched/after.h"

#include <stddef.h>
#include <string.h>

#include <new>
#include <vector>

#include "common/error.h"
#include "common/text.h"

namespace vrk {

namespace {

inline constexpr size_t kAfterValueMax = 2047;
inline constexpr size_t kCyclePathSize = 1024;

enum Mark : unsigned char { kUnvisited = 0, kOnPath = 1, kDone = 2 };

// Appends s to the path buffer, cutting at its end.
void path_append(char (&path)[kCyclePathSize], size_t& used, std::string_view s) {
  if (used + 1 >= kCyclePathSize) {
    return;
  }
  size_t n = s.size();
  if (n > kCyclePathSize - 1 - used) {
    n = kCyclePathSize - 1 - used;
  }
  memcpy(path + used, s.data(), n);
  used += n;
  path[used] = '\0';
}

}  // namespace

int after_parse(std::string_view value, JobConfig& job, std::span<char> err) {
  err_set(err, "%s", "");
  if (value.size() > kAfterValueMax) {
    err_set(err, "'after' value too long");
    return -1;
  }
  // Entries are appended in place; a failure takes back what this call added.
  const int32_t start_count = job.after_count;
  auto fail = [&]() {
    for (int32_t i = start_count; i < job.after_count; ++i) {
      job.after[i][0] = '\0';
    }
    job.after_count = start_count;
    return -1;
  };
  int rc = text_for_each_item(value, [&](std::string_view item) {
    if (item.empty()) {
      err_set(err, "empty job name in 'after'");
      return -1;
    }
    if (job.after_count >= kMaxAfter) {
      err_set(err, "too many 'after' entries");
      return -1;
    }
    if (!text_copy(job.after[job.after_count], item)) {
      err_set(err, "job name '%.*s' too long", static_cast<int>(item.size()), item.data());
      return -1;
    }
    ++job.after_count;
    return 0;
  });
  if (rc != 0) {
    return fail();
  }
  return 0;
}

int after_check_cycles(const SchedConfig& cfg, std::span<char> err) {
  err_set(err, "%s", "");
  const size_t count = cfg.job_count < kMaxJobs ? cfg.job_count : kMaxJobs;
  std::vector<unsigned char> mark;
  std::vector<int> path;       // job indices from the search root to the current job
  std::vector<int> next_edge;  // per path entry: the next 'after' entry to follow
  JobNameIndex index;
  config_job_index_build(cfg, index);
  try {
    mark.assign(count, kUnvisited);
    path.reserve(count);
    next_edge.reserve(count);
  } catch (const std::bad_alloc&) {
    err_set(err, "out of memory");
    return -1;
  }
  for (size_t root = 0; root < count; ++root) {
    if (mark[root] != kUnvisited) {
      continue;
    }
    path.clear();
    next_edge.clear();
    mark[root] = kOnPath;
    path.push_back(static_cast<int>(root));  // within the reserved size: no allocation
    next_edge.push_back(0);
    while (!path.empty()) {
      const JobConfig& job = cfg.jobs[path.back()];
      int& edge = next_edge.back();
      if (edge >= job.after_count || edge >= kMaxAfter) {
        mark[path.back()] = kDone;
        path.pop_back();
        next_edge.pop_back();
        continue;
      }
      int target = config_job_index_find(cfg, index, text_view(job.after[edge]));
      ++edge;
      if (target < 0 || mark[target] == kDone) {
        continue;
      }
      if (mark[target] == kOnPath) {
        char text[kCyclePathSize] = {};
        size_t used = 0;
        size_t from = 0;
        while (path[from] != target) {
          ++from;
        }
        for (size_t i = from; i < path.size(); ++i) {
          path_append(text, used, text_view(cfg.jobs[path[i]].name));
          path_append(text, used, " -> ");
        }
        path_append(text, used, text_view(cfg.jobs[target].name));
        err_set(err, "cycle in 'after': %s", text);
        return -1;
      }
      mark[target] = kOnPath;
      path.push_back(target);
      next_edge.push_back(0);
    }
  }
  return 0;
}

}  // namespace vrk
