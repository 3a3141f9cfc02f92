// Program entry of vrk_sched: the start-up order and the command table, which drives the
// look-up of the command word, the check of its options and the dispatch to its handler.
#pragma once

#include "common/cli.h"

namespace vrk {

inline constexpr const char kSchedProgramName[] = "vrk_sched";

// Carries out one command, given the --config and --queue values (or their defaults) and the
// whole argument list; returns the exit status.
using CommandHandler = int (*)(const char* config_path, const char* queue_path, int argc,
                               char** argv);

// One row of the command table.
struct CommandSpec {
  const char* name;
  const CliOption* options;
  int positional;  // words accepted, counting the command word
  CommandHandler handler;
};

// The command table in lookup order; ends with an entry whose name is nullptr.
extern const CommandSpec kCommandTable[];

// The row of name, or nullptr.
const CommandSpec* command_spec_find(const char* name);

// The whole program; returns the process exit status.
int sched_main(int argc, char** argv);

}  // namespace vrk
