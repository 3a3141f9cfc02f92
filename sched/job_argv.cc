#include "sched/job_argv.h"

#include <algorithm>
#include <new>

#include "common/error.h"

namespace vrk {

namespace {

// Program, first argument, --name and profile, --background, --retention and its text,
// --retention-class and its text, and the terminator.
inline constexpr size_t kArgvFixedRoom = 10;

}  // namespace

int job_build_argv(const JobConfig& job, int background, std::vector<const char*>& argv, int& count,
                   std::span<char> err) {
  if (!err.empty()) {
    err[0] = '\0';
  }
  argv.clear();
  count = 0;
  int kind = static_cast<int>(job.command);
  if (kind < 0 || kind >= kCommandCount) {
    err_set(err, "internal error: unknown command enum %d", kind);
    return -1;
  }
  const JobCommand& cmd = kJobCommands[kind];
  // The record holds at most kArgsMaxTokens tokens; a count outside that never indexes past it.
  int token_count = std::clamp(job.args_token_count, 0, kArgsMaxTokens);
  try {
    argv.reserve(static_cast<size_t>(token_count) + kArgvFixedRoom);
  } catch (const std::bad_alloc&) {
    err_set(err, "out of memory");
    return -1;
  }
  // Every push_back below stays within the reserved room, so none can allocate.
  argv.push_back(cmd.program);
  if (cmd.first_arg != nullptr) {
    argv.push_back(cmd.first_arg);
  }
  if (job.profile[0] != '\0') {
    argv.push_back("--name");
    argv.push_back(job.profile);
  }
  bool takes_retention = command_takes_retention(kind);
  if (background != 0 && takes_retention) {
    argv.push_back("--background");
  }
  if (job.retention[0] != '\0' && takes_retention) {
    argv.push_back("--retention");
    argv.push_back(job.retention);
    if (job.retention_class[0] != '\0') {
      argv.push_back("--retention-class");
      argv.push_back(job.retention_class);
    }
  }
  for (int i = 0; i < token_count; ++i) {
    argv.push_back(job.args_tokens[i]);
  }
  count = static_cast<int>(argv.size());
  argv.push_back(nullptr);
  return 0;
}

}  // namespace vrk
