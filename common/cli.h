// Command-line option lookup shared by both programs: option tables, value and flag lookup, and
// the common pass that warns about unknown options and surplus words.
#pragma once

namespace vrk {

// One option; a table ends with an entry whose name is nullptr.
struct CliOption {
  const char* name = nullptr;
  const char* alias = nullptr;  // only "--help" has one ("-h")
  bool takes_value = false;
};

// The global options every command accepts.
extern const CliOption kCliGlobalOptions[];
// The logging options, recognised by cli_check once the run log is active.
extern const CliOption kCliLoggingOptions[];

// The value of the first word equal to name (the next word, or def when there is none) or of
// the form name=value (the text after '='), scanning argv[1..argc); def when absent or argc < 2.
const char* cli_value(int argc, char** argv, const char* name, const char* def);

// True when some word of argv[1..argc) equals name exactly.
bool cli_flag(int argc, char** argv, const char* name);

// Warns (log at WARN and run log bit 0) about unknown options and words beyond max_positional
// (the command word counts); stops at "--". Returns the number of warnings; never fails.
int cli_check(int argc, char** argv, const CliOption* options, int max_positional);

}  // namespace vrk
