// The API set-up commands: api-init (certificate and key), api-info (the [api] settings) and
// api-token (add, list and remove tokens in the tokens file). Each loads the configuration
// first; results go to standard output, "error:" lines to standard error.
#pragma once

namespace vrk {

// Creates the certificate and key of [api] (--cn, --force) and prints the fingerprint. Exit 0,
// or 1 when the configuration does not load or the files cannot be created.
int cmd_api_init(const char* config_path, int argc, char** argv);

// Prints the [api] settings, the certificate's fingerprint and the number of tokens. Exit 0, or
// 1 when the configuration does not load.
int cmd_api_info(const char* config_path);

// api-token add <name> --role read|admin, list, remove <name>. Exit 0; 1 on a failure or a
// refused name or role; 2 (with the usage text) for an unknown action.
int cmd_api_token(const char* config_path, int argc, char** argv);

}  // namespace vrk
