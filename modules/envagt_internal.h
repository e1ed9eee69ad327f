// envagt's internals: its state and command handlers, for its own files and
// tests.
#pragma once

#include "modules/envagt.h"

struct env_state {
  std::map<std::string, std::string, std::less<>> variables;
};
cmd_reply ENVcmd_genv(agt_context* context, cmd_state* state, const char* argument);
cmd_reply ENVcmd_senv(agt_context* context, cmd_state* state, const char* argument);
cmd_reply ENVcmd_denv(agt_context* context, cmd_state* state, const char* argument);
