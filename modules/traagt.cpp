// Placeholder until the trace module lands.
#include "modules/traagt.h"

int TRAinit(agt_context* context) { return context == nullptr ? -1 : 0; }
int TRAterm(agt_context*) { return 0; }
int TRAget_port(agt_context*) { return -1; }
int TRAwait_connection(agt_context*) { return -1; }

cmd_reply TRAcmd_port(agt_context*, cmd_state*, const char*) { return CMDreply(MSG_NOT_IMPLEMENTED); }
cmd_reply TRAcmd_trwa(agt_context*, cmd_state*, const char*) { return CMDreply(MSG_NOT_IMPLEMENTED); }
