// envagt: environment variables of the connection process, which every
// program it launches later inherits. GENV, SENV, DENV.
#pragma once

#include <optional>

#include "agent/cmdagt.h"

int ENVinit(agt_context* context);
int ENVterm(agt_context* context);
// The value, or none when the variable is not set, is empty, or no name is given.
std::optional<kvwstr> ENVget(agt_context* context, const char* name);
int ENVset(agt_context* context, const char* name, const char* value);
int ENVunset(agt_context* context, const char* name);

cmd_reply ENVcmd_genv(agt_context* context, cmd_state* state, const char* argument);
cmd_reply ENVcmd_senv(agt_context* context, cmd_state* state, const char* argument);
cmd_reply ENVcmd_denv(agt_context* context, cmd_state* state, const char* argument);
