#include "sched/cmd_api.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <memory>
#include <new>

#include "common/cli.h"
#include "common/error.h"
#include "common/scope_exit.h"
#include "common/secret_text.h"
#include "common/text.h"
#include "sched/api/cert.h"
#include "sched/api/tokens.h"
#include "sched/config.h"
#include "sched/config_load.h"
#include "sched/notify.h"
#include "sched/usage.h"

namespace vrk {
namespace {

inline constexpr int kCreatedTextSize = 32;

// A token table on the heap, wiped before its memory goes back.
struct TokenTableFree {
  void operator()(TokenTable* table) const {
    secret_wipe(*table);
    delete table;
  }
};
using TokenTablePtr = std::unique_ptr<TokenTable, TokenTableFree>;

TokenTablePtr token_table_new() {
  return TokenTablePtr(new (std::nothrow) TokenTable());
}

// Loads the configuration into a fresh record; prints "error: ..." and returns nullptr when it
// does not load (or memory is short).
SchedConfigPtr load_config(const char* config_path) {
  SchedConfigPtr cfg = config_new();
  if (!cfg) {
    fprintf(stderr, "error: out of memory\n");
    return nullptr;
  }
  char err[kConfigErrSize] = "";
  if (config_load(config_path, *cfg, err) != 0) {
    config_free(*cfg);
    fprintf(stderr, "error: %s\n", err);
    return nullptr;
  }
  return cfg;
}

const char* yes_no(uint32_t v) {
  return v != 0 ? "yes" : "no";
}

void print_allowed_commands(uint32_t allowed) {
  fputs("allowed-commands:  ", stdout);
  bool any = false;
  for (int kind = 0; kind < kCommandCount; ++kind) {
    if ((allowed & (1u << kind)) == 0) {
      continue;
    }
    printf("%s%s", any ? "," : " ", command_keyword(kind));
    any = true;
  }
  fputs(any ? "\n" : " none\n", stdout);
}

// "%Y-%m-%d %H:%M:%S" in local time, or "-" for a time below 1 or one that cannot be shown.
void format_created(int64_t created, char (&out)[kCreatedTextSize]) {
  time_t tt = static_cast<time_t>(created);
  struct tm tm;
  if (created < 1 || localtime_r(&tt, &tm) == nullptr ||
      strftime(out, sizeof out, "%Y-%m-%d %H:%M:%S", &tm) == 0) {
    snprintf(out, sizeof out, "-");
  }
}

int token_list(const TokenTable& table) {
  printf("%-32s %-6s %s\n", "NAME", "ROLE", "CREATED");
  for (uint64_t i = 0; i < table.count; ++i) {
    const ApiToken& t = table.tokens[i];
    char created[kCreatedTextSize];
    format_created(t.created, created);
    printf("%-32s %-6s %s\n", t.name, role_name(t.role), created);
  }
  return 0;
}

int token_save(const char* path, const TokenTable& table) {
  char err[kTokenFileErrSize] = "";
  if (token_file_save(path, table, err) != 0) {
    fprintf(stderr, "error: %s\n", err);
    return 1;
  }
  return 0;
}

int token_remove(const char* path, TokenTable& table, const char* name) {
  const ApiToken* found = token_find(table, name);
  if (found == nullptr) {
    fprintf(stderr, "error: no token named '%s'\n", name);
    return 1;
  }
  uint64_t at = static_cast<uint64_t>(found - table.tokens);
  for (uint64_t i = at; i + 1 < table.count; ++i) {
    table.tokens[i] = table.tokens[i + 1];
  }
  --table.count;
  // The freed slot still holds a copy of the last token's secret.
  secret_wipe(table.tokens[table.count]);
  if (token_save(path, table) != 0) {
    return 1;
  }
  printf("removed token '%s'\n", name);
  return 0;
}

int token_add(const char* path, TokenTable& table, const char* name, int argc, char** argv) {
  const char* role_text = cli_value(argc, argv, "--role", nullptr);
  TokenRole role = TokenRole::kRead;
  if (role_text == nullptr || role_parse(role_text, role) != 0) {
    fprintf(stderr, "error: --role read|admin is required\n");
    return 1;
  }
  if (token_find(table, name) != nullptr) {
    fprintf(stderr, "error: a token named '%s' exists already\n", name);
    return 1;
  }
  if (table.count >= kTokenTableMax) {
    fprintf(stderr, "error: too many tokens\n");
    return 1;
  }
  ApiToken& entry = table.tokens[table.count];
  entry = ApiToken{};
  (void)text_copy(entry.name, name);  // fits: the name is valid
  entry.role = role;
  entry.created = static_cast<int64_t>(time(nullptr));
  if (token_generate_secret(entry.secret) != 0) {
    fprintf(stderr, "error: no random numbers\n");
    return 1;
  }
  ++table.count;
  if (token_save(path, table) != 0) {
    return 1;
  }
  printf("token (shown only now, keep it secret): %s.%s\n", entry.name, entry.secret);
  printf(
      "role: %s%s\n", role_text,
      role == TokenRole::kAdmin ? " (the client must sign its requests, see sched-api.txt)" : "");
  return 0;
}

}  // namespace

int cmd_api_init(const char* config_path, int argc, char** argv) {
  SchedConfigPtr cfg = load_config(config_path);
  if (!cfg) {
    return 1;
  }
  ScopeExit release([&] { config_free(*cfg); });
  const ApiSettings& api = cfg->api;
  char host[kNotifyHostSize];
  const char* cn = cli_value(argc, argv, "--cn", nullptr);
  if (cn == nullptr) {
    notify_host_name(host);
    cn = host;
  }
  int rc = cert_create(api.cert, api.key, cn, kCertValidDays, cli_flag(argc, argv, "--force"));
  if (rc == kErrExists) {
    printf("certificate exists, kept: %s (use --force to replace it)\n", api.cert);
  } else if (rc != 0) {
    fprintf(stderr, "error: cannot create %s / %s (%s)\n", api.cert, api.key, error_text(rc));
    return 1;
  } else {
    printf("created %s and %s (CN=%s, valid 10 years)\n", api.cert, api.key, cn);
  }
  char fingerprint[kCertFingerprintSize];
  if (cert_fingerprint(api.cert, fingerprint) == 0) {
    printf("SHA-256 fingerprint: %s\n", fingerprint);
  }
  return 0;
}

int cmd_api_info(const char* config_path) {
  SchedConfigPtr cfg = load_config(config_path);
  if (!cfg) {
    return 1;
  }
  ScopeExit release([&] { config_free(*cfg); });
  const ApiSettings& api = cfg->api;
  const bool bracket = strchr(api.listen_address, ':') != nullptr;
  printf("enabled:            %s\n", yes_no(api.enabled));
  printf("listen:             %s%s%s:%u\n", bracket ? "[" : "", api.listen_address,
         bracket ? "]" : "", api.listen_port);
  printf("certificate:        %s\n", api.cert);
  char fingerprint[kCertFingerprintSize];
  printf("fingerprint:        %s\n", cert_fingerprint(api.cert, fingerprint) == 0
                                         ? fingerprint
                                         : "(no certificate -- run 'vrk_sched api-init')");
  printf("tokens-file:        %s\n", api.tokens_file);
  TokenTablePtr table = token_table_new();
  char err[kTokenFileErrSize] = "";
  if (!table) {
    printf("tokens:             (error: out of memory)\n");
  } else if (token_file_load(api.tokens_file, *table, err) != 0) {
    printf("tokens:             (error: %s)\n", err);
  } else {
    printf("tokens:             %zu\n", static_cast<size_t>(table->count));
  }
  table.reset();
  printf("allow-config-write: %s\n", yes_no(api.allow_config_write));
  printf("allow-args:         %s\n", yes_no(api.allow_args));
  print_allowed_commands(api.allowed_commands);
  printf("max-clients:        %u\n", api.max_clients);
  printf("history-keep:       %u\n", api.history_keep);
  printf("notify-changes:     %s\n", yes_no(api.notify_changes));
  return 0;
}

int cmd_api_token(const char* config_path, int argc, char** argv) {
  char path[kApiPathSize];
  {
    SchedConfigPtr cfg = load_config(config_path);
    if (!cfg) {
      return 1;
    }
    (void)text_copy(path, text_view(cfg->api.tokens_file));  // same size
    config_free(*cfg);
  }
  TokenTablePtr table = token_table_new();
  if (!table) {
    fprintf(stderr, "error: out of memory\n");
    return 1;
  }
  char err[kTokenFileErrSize] = "";
  if (token_file_load(path, *table, err) != 0) {
    fprintf(stderr, "error: %s\n", err);
    return 1;
  }
  const char* action = argc >= 3 ? argv[2] : "";
  if (strcmp(action, "list") == 0) {
    return token_list(*table);
  }
  const bool add = strcmp(action, "add") == 0;
  if (!add && strcmp(action, "remove") != 0) {
    sched_print_usage(stdout);
    return 2;
  }
  const char* name = argc >= 4 ? argv[3] : nullptr;
  if (name == nullptr || name[0] == '-' || !token_name_valid(name)) {
    fprintf(stderr, "error: a token name ([A-Za-z0-9_-], 1..64 characters) is required\n");
    return 1;
  }
  return add ? token_add(path, *table, name, argc, argv) : token_remove(path, *table, name);
}

}  // namespace vrk
