#include "sched/cmd_list.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string_view>

#include "common/clock.h"
#include "common/error.h"
#include "common/scope_exit.h"
#include "common/text.h"
#include "sched/config.h"
#include "sched/config_load.h"
#include "sched/queue.h"
#include "sched/queue_sync.h"

namespace vrk {
namespace {

inline constexpr size_t kListTimeSize = 32;
inline constexpr size_t kListAfterSize = 512;
inline constexpr size_t kListAfterColumnSize = kListAfterSize + 16;  // room for " (finished)"
inline constexpr const char* kListColourOff = "\x1b[0m";

// Local time "%Y-%m-%d %H:%M:%S"; "-" for unset (below 1) and never.
void list_format_time(char (&out)[kListTimeSize], int64_t t) {
  text_copy_cut(out, "-");
  if (t < 1 || t == kQueueNever) {
    return;
  }
  time_t tt = static_cast<time_t>(t);
  struct tm tm = {};
  if (localtime_r(&tt, &tm) == nullptr ||
      strftime(out, sizeof out, "%Y-%m-%d %H:%M:%S", &tm) == 0) {
    text_copy_cut(out, "-");
  }
}

// The 'after' names joined by "," (cut to 511 bytes), " (finished)" for after-mode finished,
// "-" when there are none.
void list_format_after(char (&out)[kListAfterColumnSize], const JobConfig& job) {
  if (job.after_count <= 0) {
    text_copy_cut(out, "-");
    return;
  }
  char joined[kListAfterSize] = "";
  size_t used = 0;
  for (int i = 0; i < job.after_count && i < kMaxAfter && used < sizeof joined - 1; ++i) {
    if (i > 0) {
      joined[used++] = ',';
    }
    std::string_view name = text_view(job.after[i]);
    size_t n = std::min(name.size(), sizeof joined - 1 - used);
    memcpy(joined + used, name.data(), n);
    used += n;
  }
  joined[used] = '\0';
  snprintf(out, sizeof out, "%s%s", joined,
           job.after_mode == kAfterModeFinished ? " (finished)" : "");
}

const char* list_colour(JobState state) {
  switch (state) {
    case JobState::kPending:
      return "\x1b[30;107m";
    case JobState::kRunning:
      return "\x1b[97;42m";
    case JobState::kDone:
      return "\x1b[32;107m";
    case JobState::kFailed:
      return "\x1b[97;41m";
    default:
      return "";
  }
}

bool list_use_colour() {
  if (isatty(STDOUT_FILENO) == 0) {
    return false;
  }
  const char* no_color = getenv("NO_COLOR");
  return no_color == nullptr || no_color[0] == '\0';
}

}  // namespace

int cmd_list(const char* config_path, const char* queue_path) {
  SchedConfigPtr config = config_new();
  if (!config) {
    fprintf(stderr, "error: %s\n", error_text(kErrNoMem));
    return 1;
  }
  ScopeExit free_config([&] { config_free(*config); });
  char err[kConfigErrSize];
  if (config_load(config_path, *config, err) != 0) {
    fprintf(stderr, "error: %s\n", err);
    return 1;
  }
  // Read-only: a missing file is an empty queue and is not created; nothing is locked.
  QueueState queue;
  ScopeExit free_queue([&] { queue_free(queue); });
  if (queue_open_readonly(queue, queue_path) != 0) {
    fprintf(stderr, "error: cannot read queue %s\n", queue_path);
    return 1;
  }
  if (queue_view_sync(queue, *config, clock_unix_now()) != 0) {
    fprintf(stderr, "error: out of memory\n");
    return 1;
  }
  const bool colour = list_use_colour();
  printf("%-24s %-18s %-10s %-20s %-20s %-20s %-6s %s\n", "NAME", "COMMAND", "STATUS", "NEXT-RUN",
         "LAST-RUN", "LAST-FINISH", "EXIT", "AFTER");
  for (uint64_t i = 0; i < config->job_count && i < static_cast<uint64_t>(kMaxJobs); ++i) {
    const JobConfig& job = config->jobs[i];
    // queue_view_sync gave every job an entry; a fresh one stands in should that ever fail.
    // Entries mostly sit in configuration order, so the entry at the job's own position is
    // tried before a search: 256 searches through 256 entries are a good part of the run.
    const std::string_view name = text_view(job.name);
    const QueueEntry* found = nullptr;
    if (i < queue.entries.size() && text_view(queue.entries[i].name) == name) {
      found = &queue.entries[i];
    } else {
      found = queue_find(queue, name);
    }
    QueueEntry entry = found != nullptr ? *found : queue_entry_make(name);
    char next_run[kListTimeSize];
    char last_run[kListTimeSize];
    char last_finish[kListTimeSize];
    list_format_time(next_run, entry.next_run);
    list_format_time(last_run, entry.last_run);
    list_format_time(last_finish, entry.last_finish);
    char exit_text[16];
    if (entry.last_run > 0) {
      snprintf(exit_text, sizeof exit_text, "%d", entry.exit_code);
    } else {
      text_copy_cut(exit_text, "-");
    }
    char after[kListAfterColumnSize];
    list_format_after(after, job);
    const char* prefix = colour ? list_colour(entry.state) : "";
    const char* suffix = prefix[0] != '\0' ? kListColourOff : "";
    printf("%s%-24s %-18s %-10s %-20s %-20s %-20s %-6s %s%s\n", prefix, job.name,
           command_keyword(static_cast<int>(job.command)), queue_state_name(entry.state), next_run,
           last_run, last_finish, exit_text, after, suffix);
  }
  return 0;
}

}  // namespace vrk
