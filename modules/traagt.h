// traagt: the trace port. PORT, TRWA, and the standard streams of launched programs.
#pragma once

#include "agent/cmdagt.h"

int TRAinit(agt_context* context);
int TRAterm(agt_context* context);
int TRAget_port(agt_context* context);
int TRAwait_connection(agt_context* context);

cmd_reply TRAcmd_port(agt_context* context, cmd_state* state, const char* argument);
cmd_reply TRAcmd_trwa(agt_context* context, cmd_state* state, const char* argument);
