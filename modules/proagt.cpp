// Placeholder until the child-process module lands.
#include "modules/proagt.h"

int PROinit(agt_context* context) { return context == nullptr ? -1 : 0; }
int PROterm(agt_context*) { return 0; }
int PROpoll_ended(agt_context*, std::vector<std::pair<int, int>>&) { return 0; }
void PROtrace_on(agt_context*) {}
void PROtrace_off(agt_context*) {}

static cmd_reply not_yet(agt_context*, cmd_state*, const char*) { return CMDreply(MSG_NOT_IMPLEMENTED); }

cmd_reply PROcmd_exec(agt_context* c, cmd_state* s, const char* a) { return not_yet(c, s, a); }
cmd_reply PROcmd_stat(agt_context* c, cmd_state* s, const char* a) { return not_yet(c, s, a); }
cmd_reply PROcmd_stop(agt_context* c, cmd_state* s, const char* a) { return not_yet(c, s, a); }
cmd_reply PROcmd_tron(agt_context* c, cmd_state* s, const char* a) { return not_yet(c, s, a); }
cmd_reply PROcmd_trof(agt_context* c, cmd_state* s, const char* a) { return not_yet(c, s, a); }
