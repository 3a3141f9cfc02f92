// The command line of vrk_sched_client: global options (anywhere on the line, "--name value" or
// "--name=value") and one command word from a constant table with its words.
#pragma once

#include <stddef.h>

#include <span>

namespace vrk {

inline constexpr size_t kOptionsErrSize = 256;
inline constexpr int kDefaultWaitSeconds = 60;
inline constexpr int kMaxWaitSeconds = 86400;
inline constexpr size_t kIfMatchMax = 128;  // the server's limit for the header

enum class ClientCommand {
  kInfo,
  kJobs,
  kJob,
  kPut,
  kDelete,
  kValidate,
  kSettings,
  kRun,
  kCancel,
  kRuns,
  kLog,
  kMailTest,
  kMetrics,
};

// One command word: how many words follow it and what they are (for the usage text).
struct CommandSpec {
  const char* name = nullptr;
  ClientCommand command = ClientCommand::kInfo;
  int min_words = 0;
  int max_words = 0;
  const char* words = "";
};

// The commands in usage order; ends with a row whose name is nullptr.
extern const CommandSpec kCommandTable[];

struct ClientOptions {
  const char* url = nullptr;
  const char* ca_file = nullptr;
  const char* fingerprint = nullptr;
  const char* token_file = nullptr;
  const char* if_match = nullptr;
  const char* file = nullptr;  // request body; null: standard input
  bool follow = false;
  int wait_seconds = kDefaultWaitSeconds;
  bool help = false;
  bool version = false;
  const CommandSpec* command = nullptr;
  const char* words[2] = {};
  int word_count = 0;
};

// Reads argv into options. 0, or -1 with one message in err (kOptionsErrSize) for a usage error:
// an unknown option or command, a missing value or word, too many words, both or neither of
// --ca-file and --fingerprint, no --url or --token-file, --follow outside log, a bad
// --wait-seconds or --if-match. --help and --version end the check early (no command needed).
[[nodiscard]] int client_options_parse(int argc, char** argv, ClientOptions& options,
                                       std::span<char> err);

}  // namespace vrk
