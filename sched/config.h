// The loaded configuration: SchedConfig with its job table (JobConfig), the [mail] and [api]
// settings, and the table of the eleven job commands. Fixed-size records; the only heap parts
// are each job's args tokens, released by config_free.
#pragma once

#include <stdint.h>

#include <memory>
#include <string_view>
#include <type_traits>

#include "common/mail_settings.h"
#include "sched/args.h"
#include "sched/cron.h"

namespace vrk {

inline constexpr int kMaxJobs = 256;
inline constexpr int kMaxAfter = 16;
inline constexpr int kJobNameSize = 128;
inline constexpr int kProfileSize = 128;
inline constexpr int kRetentionSize = 32;
inline constexpr int kScheduleTextSize = 128;
inline constexpr int kOnceTextSize = 64;
inline constexpr int kArgsTextSize = 1024;
inline constexpr int kJobLogDirSize = 600;
inline constexpr int kApiAddressSize = 128;
inline constexpr int kApiPathSize = 512;

enum class CommandKind : uint32_t {
  kAgent = 0,
  kProxmox = 1,
  kXenv = 2,
  kRestore = 3,
  kProxmoxRestore = 4,
  kXenvRestore = 5,
  kVerify = 6,
  kMaintSyntheticFull = 7,
  kMaintRecompress = 8,
  kMaintScrub = 9,
  kMaintPrune = 10,
};
inline constexpr int kCommandCount = 11;

// One row of the job command table.
struct JobCommand {
  const char* keyword;
  const char* program;
  const char* first_arg;  // nullptr when the command has none
  bool takes_profile;
  bool takes_retention;  // also: takes --background
};
extern const JobCommand kJobCommands[kCommandCount];

inline constexpr int kNotifyUnset = -1;
inline constexpr int kNotifyNever = 0;
inline constexpr int kNotifyFailed = 1;
inline constexpr int kNotifyAlways = 2;

inline constexpr uint32_t kAfterModeSuccess = 0;
inline constexpr uint32_t kAfterModeFinished = 1;

struct JobConfig {
  char name[kJobNameSize] = {};
  CommandKind command = CommandKind::kAgent;
  char profile[kProfileSize] = {};
  char* args_tokens[kArgsMaxTokens] = {};
  int32_t args_token_count = 0;
  uint32_t has_schedule = 0;
  CronSpec schedule = {};
  uint32_t has_once = 0;
  int64_t once_time = 0;
  char after[kMaxAfter][kJobNameSize] = {};
  int32_t after_count = 0;
  uint32_t after_mode = kAfterModeSuccess;
  uint32_t after_mode_given = 0;
  uint32_t enabled = 1;
  uint32_t timeout_seconds = 0;
  int32_t notify = kNotifyUnset;
  int32_t run_background = -1;
  int32_t start_background = -1;
  char retention[kRetentionSize] = {};
  char retention_class[kRetentionSize] = {};
  char schedule_text[kScheduleTextSize] = {};
  char once_text[kOnceTextSize] = {};
  char args_text[kArgsTextSize] = {};
};
static_assert(std::is_trivially_copyable_v<JobConfig>);

inline constexpr uint32_t kApiDefaultAllowedCommands = 0x3C7;

struct ApiSettings {
  uint32_t present = 0;
  uint32_t enabled = 0;
  char listen_address[kApiAddressSize] = "0.0.0.0";
  uint32_t listen_port = 8447;
  char cert[kApiPathSize] = "/etc/vrk/vrk_sched_api.crt";
  char key[kApiPathSize] = "/etc/vrk/vrk_sched_api.key";
  char tokens_file[kApiPathSize] = "/etc/vrk/vrk_sched_api_tokens";
  uint32_t allow_config_write = 1;
  uint32_t allowed_commands = kApiDefaultAllowedCommands;
  uint32_t allow_args = 1;
  uint32_t max_clients = 16;
  uint32_t history_keep = 20;
  uint32_t notify_changes = 1;
};
static_assert(std::is_trivially_copyable_v<ApiSettings>);

// About 1.2 MB: allocate it on the heap (config_new).
struct SchedConfig {
  JobConfig jobs[kMaxJobs] = {};
  uint64_t job_count = 0;
  uint32_t poll_interval = 0;
  uint32_t busy_retry_seconds = 0;
  uint32_t job_timeout_seconds = 0;
  char job_log_dir[kJobLogDirSize] = {};
  uint32_t job_log_keep = 0;
  MailSettings mail = {};
  uint32_t mail_notify_default = kNotifyNever;
  ApiSettings api = {};
};
static_assert(std::is_trivially_copyable_v<SchedConfig>);

// Releases the memory of a record from config_new; its contents are the owner's business
// (config_free first).
struct SchedConfigFree {
  void operator()(SchedConfig* cfg) const;
};
using SchedConfigPtr = std::unique_ptr<SchedConfig, SchedConfigFree>;

// A record in the empty state (as config_reset leaves it), or nullptr when memory is short.
// Its zero pages come from the system untouched, so a command that loads a few jobs never
// writes the megabyte of job slots it does not use.
SchedConfigPtr config_new();

// Puts cfg into the empty state: everything zero, then the record defaults (the [api]
// defaults, mail tls starttls and timeout 60). Does not free anything: call config_free first
// on a loaded record. Requires: job slots past job_count + 1 are zero (true of every record
// that starts zeroed and is filled by the loader, which counts each slot as it fills it).
void config_reset(SchedConfig& cfg);

// Resets job to a fresh job section: zero, enabled 1, notify and both background keys -1.
void config_job_reset(JobConfig& job);

// Frees every job's args tokens, wipes the smtp password, and resets the record. Safe on an
// empty record, a failed load's leftovers, and twice.
void config_free(SchedConfig& cfg);

// The first job whose name equals name exactly, or nullptr.
const JobConfig* config_find_job(const SchedConfig& cfg, std::string_view name);

// A hash index over job names for callers that look up many names (the loader, the cycle
// check). Borrows the names from the table it was built over; same answers as config_find_job.
inline constexpr int kJobNameIndexSlots = 2 * kMaxJobs;
struct JobNameIndex {
  uint16_t slots[kJobNameIndexSlots] = {};  // 0 = empty, else job index + 1
};

// Adds cfg.jobs[job] unless an earlier job has the same name. Requires: job < kMaxJobs.
void config_job_index_add(const SchedConfig& cfg, JobNameIndex& index, int job);

// Adds jobs 0..job_count in table order.
void config_job_index_build(const SchedConfig& cfg, JobNameIndex& index);

// The table index of the first job named name, or -1.
int config_job_index_find(const SchedConfig& cfg, const JobNameIndex& index, std::string_view name);

// "/etc/vrk/vrk_sched.cfg".
const char* config_default_path();

// The CommandKind number of an exact keyword, or -1.
int command_from_keyword(std::string_view keyword);

// The keyword of a command number, or "?" outside 0..10.
const char* command_keyword(int kind);

// From the command table; false outside 0..10.
bool command_takes_profile(int kind);
bool command_takes_retention(int kind);

// Whether a finished run of job gets a notification mail (no [mail] section: never).
bool job_wants_notify(const SchedConfig& cfg, const JobConfig& job, bool failed);

}  // namespace vrk
