#include "sched/config.h"

#include <stdlib.h>
#include <string.h>

#include <openssl/crypto.h>

#include "common/text.h"
#include "sched/args.h"

namespace vrk {

// Keyword order is match order; the index is the CommandKind number and the allowed-commands bit.
const JobCommand kJobCommands[kCommandCount] = {
    {"agent", "vrk_agent", nullptr, true, true},
    {"proxmox", "vrk_proxmox", nullptr, true, true},
    {"xenv", "vrk_xenV", nullptr, true, true},
    {"restore", "vrk_restore", nullptr, false, false},
    {"proxmox-restore", "vrk_proxmox_restore", nullptr, false, false},
    {"xenv-restore", "vrk_xenV_restore", nullptr, false, false},
    {"verify", "vrk_verifier", nullptr, false, false},
    {"maint-synthetic-full", "vrk_maintenance", "synthetic-full", false, false},
    {"maint-recompress", "vrk_maintenance", "recompress", false, false},
    {"maint-scrub", "vrk_maintenance", "scrub", false, false},
    {"maint-prune", "vrk_maintenance", "prune", false, false},
};

namespace {

bool command_valid(int kind) {
  return kind >= 0 && kind < kCommandCount;
}

// FNV-1a: names are short and alike ("job-17", "job-18"), so a cheap byte-wise hash suffices.
uint32_t name_hash(std::string_view name) {
  uint32_t h = 2166136261u;
  for (char c : name) {
    h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
  }
  return h;
}

// The slot holding name, or the empty slot where it would go. At most kMaxJobs of the
// 2 * kMaxJobs slots are ever used, so an empty slot always exists.
int index_slot(const SchedConfig& cfg, const JobNameIndex& index, std::string_view name) {
  int slot = static_cast<int>(name_hash(name) % kJobNameIndexSlots);
  while (index.slots[slot] != 0 && text_view(cfg.jobs[index.slots[slot] - 1].name) != name) {
    slot = (slot + 1) % kJobNameIndexSlots;
  }
  return slot;
}

}  // namespace

namespace {

// The job slots that may hold anything: the loader fills a slot only as it counts it (one more
// when it failed right there), so every slot past these is still in its zero state. Clearing
// just these keeps a load and a free from writing the whole 1.2 MB record every time.
size_t config_slots_in_use(const SchedConfig& cfg) {
  return cfg.job_count < static_cast<uint64_t>(kMaxJobs) ? static_cast<size_t>(cfg.job_count) + 1
                                                         : static_cast<size_t>(kMaxJobs);
}

}  // namespace

void config_reset(SchedConfig& cfg) {
  // memset rather than assigning SchedConfig{}: a 1.2 MB temporary would land on the stack.
  const size_t used = config_slots_in_use(cfg);
  memset(static_cast<void*>(cfg.jobs), 0, used * sizeof(JobConfig));
  char* tail = reinterpret_cast<char*>(&cfg.job_count);
  memset(static_cast<void*>(tail), 0,
         sizeof(cfg) - static_cast<size_t>(tail - reinterpret_cast<char*>(&cfg)));
  cfg.mail = MailSettings{};
  cfg.mail_notify_default = kNotifyNever;
  cfg.api = ApiSettings{};
}

void SchedConfigFree::operator()(SchedConfig* cfg) const {
  free(cfg);
}

SchedConfigPtr config_new() {
  // calloc creates the record (an aggregate of plain fields) with every byte zero, as
  // config_reset wants it, without writing a byte of it.
  auto* cfg = static_cast<SchedConfig*>(calloc(1, sizeof(SchedConfig)));
  if (cfg != nullptr) {
    config_reset(*cfg);
  }
  return SchedConfigPtr(cfg);
}

void config_job_reset(JobConfig& job) {
  // The record's initialisers are exactly a fresh job section's values.
  job = JobConfig{};
}

void config_free(SchedConfig& cfg) {
  // A failed load may have stopped in the slot after the last one counted. A job's tokens are
  // always its first args_token_count pointers.
  const size_t used = config_slots_in_use(cfg);
  for (size_t i = 0; i < used; ++i) {
    JobConfig& job = cfg.jobs[i];
    int n = job.args_token_count;
    if (n > 0) {
      args_free(job.args_tokens, n < kArgsMaxTokens ? n : kArgsMaxTokens);
    }
    job.args_token_count = 0;
  }
  OPENSSL_cleanse(cfg.mail.smtp_password, sizeof(cfg.mail.smtp_password));
  config_reset(cfg);
}

const JobConfig* config_find_job(const SchedConfig& cfg, std::string_view name) {
  uint64_t n = cfg.job_count < kMaxJobs ? cfg.job_count : kMaxJobs;
  for (uint64_t i = 0; i < n; ++i) {
    if (text_view(cfg.jobs[i].name) == name) {
      return &cfg.jobs[i];
    }
  }
  return nullptr;
}

void config_job_index_add(const SchedConfig& cfg, JobNameIndex& index, int job) {
  if (job < 0 || job >= kMaxJobs) {
    return;
  }
  int slot = index_slot(cfg, index, text_view(cfg.jobs[job].name));
  if (index.slots[slot] == 0) {
    index.slots[slot] = static_cast<uint16_t>(job + 1);
  }
}

void config_job_index_build(const SchedConfig& cfg, JobNameIndex& index) {
  index = JobNameIndex{};
  int n = cfg.job_count < kMaxJobs ? static_cast<int>(cfg.job_count) : kMaxJobs;
  for (int i = 0; i < n; ++i) {
    config_job_index_add(cfg, index, i);
  }
}

int config_job_index_find(const SchedConfig& cfg, const JobNameIndex& index,
                          std::string_view name) {
  int slot = index_slot(cfg, index, name);
  return index.slots[slot] == 0 ? -1 : index.slots[slot] - 1;
}

const char* config_default_path() {
  return "/etc/vrk/vrk_sched.cfg";
}

int command_from_keyword(std::string_view keyword) {
  for (int i = 0; i < kCommandCount; ++i) {
    if (keyword == kJobCommands[i].keyword) {
      return i;
    }
  }
  return -1;
}

const char* command_keyword(int kind) {
  return command_valid(kind) ? kJobCommands[kind].keyword : "?";
}

bool command_takes_profile(int kind) {
  return command_valid(kind) && kJobCommands[kind].takes_profile;
}

bool command_takes_retention(int kind) {
  return command_valid(kind) && kJobCommands[kind].takes_retention;
}

bool job_wants_notify(const SchedConfig& cfg, const JobConfig& job, bool failed) {
  if (cfg.mail.enabled == 0) {
    return false;
  }
  int32_t notify =
      job.notify != kNotifyUnset ? job.notify : static_cast<int32_t>(cfg.mail_notify_default);
  if (notify == kNotifyAlways) {
    return true;
  }
  if (notify == kNotifyFailed) {
    return failed;
  }
  return false;
}

}  // namespace vrk
