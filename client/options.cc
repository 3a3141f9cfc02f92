#include "client/options.h"

#include <string.h>

#include <charconv>
#include <string_view>

#include "common/error.h"

namespace vrk {

const CommandSpec kCommandTable[] = {
    {"info", ClientCommand::kInfo, 0, 0, ""},
    {"jobs", ClientCommand::kJobs, 0, 0, ""},
    {"job", ClientCommand::kJob, 1, 1, "<name>"},
    {"put", ClientCommand::kPut, 1, 1, "<name>"},
    {"delete", ClientCommand::kDelete, 1, 1, "<name>"},
    {"validate", ClientCommand::kValidate, 0, 1, "[<name>]"},
    {"settings", ClientCommand::kSettings, 2, 2, "get|put sched|mail"},
    {"run", ClientCommand::kRun, 1, 1, "<name>"},
    {"cancel", ClientCommand::kCancel, 1, 1, "<name>"},
    {"runs", ClientCommand::kRuns, 1, 1, "<name>"},
    {"log", ClientCommand::kLog, 2, 2, "<name> <run-id>|latest"},
    {"mail-test", ClientCommand::kMailTest, 0, 0, ""},
    {"metrics", ClientCommand::kMetrics, 0, 0, ""},
    {nullptr, ClientCommand::kInfo, 0, 0, ""},
};

namespace {

enum class Opt {
  kUrl,
  kCaFile,
  kFingerprint,
  kTokenFile,
  kIfMatch,
  kFile,
  kWait,
  kFollow,
  kHelp,
  kVersion
};

struct OptionSpec {
  const char* name;
  Opt opt;
  bool takes_value;
};

constexpr OptionSpec kOptions[] = {
    {"--url", Opt::kUrl, true},
    {"--ca-file", Opt::kCaFile, true},
    {"--fingerprint", Opt::kFingerprint, true},
    {"--token-file", Opt::kTokenFile, true},
    {"--if-match", Opt::kIfMatch, true},
    {"--file", Opt::kFile, true},
    {"--wait-seconds", Opt::kWait, true},
    {"--follow", Opt::kFollow, false},
    {"--help", Opt::kHelp, false},
    {"-h", Opt::kHelp, false},
    {"--version", Opt::kVersion, false},
};

const CommandSpec* command_find(const char* word) {
  for (const CommandSpec* c = kCommandTable; c->name != nullptr; ++c) {
    if (strcmp(c->name, word) == 0) {
      return c;
    }
  }
  return nullptr;
}

void store(ClientOptions& o, Opt opt, const char* value) {
  switch (opt) {
    case Opt::kUrl:
      o.url = value;
      break;
    case Opt::kCaFile:
      o.ca_file = value;
      break;
    case Opt::kFingerprint:
      o.fingerprint = value;
      break;
    case Opt::kTokenFile:
      o.token_file = value;
      break;
    case Opt::kIfMatch:
      o.if_match = value;
      break;
    case Opt::kFile:
      o.file = value;
      break;
    case Opt::kFollow:
      o.follow = true;
      break;
    case Opt::kHelp:
      o.help = true;
      break;
    case Opt::kVersion:
      o.version = true;
      break;
    case Opt::kWait:
      break;  // converted by the caller
  }
}

bool wait_valid(const char* text, int& seconds) {
  std::string_view s(text);
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), seconds);
  return ec == std::errc() && ptr == s.data() + s.size() && seconds >= 1 &&
         seconds <= kMaxWaitSeconds;
}

// The value goes into a header and into the signed request as it is: it must survive the
// header unchanged (no surrounding blanks, no control bytes) and fit the server's limit.
bool if_match_valid(std::string_view s) {
  if (s.size() > kIfMatchMax || s.front() == ' ' || s.back() == ' ') {
    return false;
  }
  for (char c : s) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      return false;
    }
  }
  return true;
}

}  // namespace

int client_options_parse(int argc, char** argv, ClientOptions& options, std::span<char> err) {
  err_set(err, "%s", "");
  ClientOptions o;
  const char* words[3] = {};
  int word_count = 0;
  bool only_words = false;
  for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
    const char* arg = argv[i];
    if (only_words || arg[0] != '-' || arg[1] == '\0') {
      if (o.command == nullptr) {
        o.command = command_find(arg);
        if (o.command == nullptr) {
          err_set(err, "unknown command '%s'", arg);
          return -1;
        }
      } else if (word_count < 3) {
        words[word_count++] = arg;
      } else {
        ++word_count;
      }
      continue;
    }
    if (strcmp(arg, "--") == 0) {
      only_words = true;
      continue;
    }
    const char* eq = strchr(arg, '=');
    size_t name_len = eq != nullptr ? static_cast<size_t>(eq - arg) : strlen(arg);
    const OptionSpec* option = nullptr;
    for (const OptionSpec& s : kOptions) {
      if (strlen(s.name) == name_len && strncmp(s.name, arg, name_len) == 0) {
        option = &s;
      }
    }
    if (option == nullptr) {
      err_set(err, "unknown option '%s'", arg);
      return -1;
    }
    const char* value = nullptr;
    if (option->takes_value) {
      if (eq != nullptr) {
        value = eq + 1;
      } else if (i + 1 < argc && argv[i + 1] != nullptr) {
        value = argv[++i];
      } else {
        err_set(err, "%s needs a value", option->name);
        return -1;
      }
      if (value[0] == '\0') {
        err_set(err, "%s needs a value", option->name);
        return -1;
      }
    } else if (eq != nullptr) {
      err_set(err, "%s takes no value", option->name);
      return -1;
    }
    if (option->opt == Opt::kWait && !wait_valid(value, o.wait_seconds)) {
      err_set(err, "--wait-seconds must be 1..%d", kMaxWaitSeconds);
      return -1;
    }
    if (option->opt == Opt::kIfMatch && !if_match_valid(value)) {
      err_set(err, "--if-match must be a config_etag as the server sent it (at most %zu bytes)",
              kIfMatchMax);
      return -1;
    }
    store(o, option->opt, value);
  }
  if (o.help || o.version) {
    options = o;
    return 0;
  }
  if (o.command == nullptr) {
    err_set(err, "a command is required");
    return -1;
  }
  const CommandSpec& c = *o.command;
  if (word_count < c.min_words || word_count > c.max_words) {
    err_set(err, "usage: vrk_sched_client [options] %s%s%s", c.name, c.words[0] ? " " : "",
            c.words);
    return -1;
  }
  if (c.command == ClientCommand::kSettings &&
      ((strcmp(words[0], "get") != 0 && strcmp(words[0], "put") != 0) ||
       (strcmp(words[1], "sched") != 0 && strcmp(words[1], "mail") != 0))) {
    err_set(err, "usage: vrk_sched_client [options] settings get|put sched|mail");
    return -1;
  }
  if (o.follow && c.command != ClientCommand::kLog) {
    err_set(err, "--follow is only for log");
    return -1;
  }
  if (o.url == nullptr) {
    err_set(err, "--url https://<host>:<port> is required");
    return -1;
  }
  if ((o.ca_file == nullptr) == (o.fingerprint == nullptr)) {
    err_set(err, "exactly one of --ca-file and --fingerprint is required");
    return -1;
  }
  if (o.token_file == nullptr) {
    err_set(err, "--token-file is required (the token is never taken from the command line)");
    return -1;
  }
  o.words[0] = words[0];
  o.words[1] = words[1];
  o.word_count = word_count;
  options = o;
  return 0;
}

}  // namespace vrk
