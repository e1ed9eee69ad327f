// envagt's internals: its state and command handlers, for its own files and
// tests.
#pragma once

#include "modules/envagt.h"
#include "platform/environment.h"

struct env_state {
  // Names compare as the platform tells them apart (without regard to case
  // on Windows).
  std::map<std::string, std::string, env_name_less> variables;
};
cmd_reply ENVcmd_genv(agt_context* context, cmd_state* state, const char* argument);
cmd_reply ENVcmd_senv(agt_context* context, cmd_state* state, const char* argument);
cmd_reply ENVcmd_denv(agt_context* context, cmd_state* state, const char* argument);
